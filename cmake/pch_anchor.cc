// The one source of the targets that only hold the precompiled headers
// other targets reuse.
int main() { return 0; }
