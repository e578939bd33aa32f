// Failure kinds shared by every library of the agent.
//
// All failures are exceptions derived from std::runtime_error. The named
// kinds below exist only where a caller must tell failures apart; everything
// else throws std::runtime_error itself.
#pragma once

#include <stdexcept>
#include <string>

namespace tavoren {

// A value of the right type but an unacceptable content.
class ValueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A value of the wrong type (for example a record that is not an object).
class TypeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A record lacks a key that the operation needs.
class KeyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tavoren
