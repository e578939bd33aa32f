// Request bodies, answer envelopes and failure bodies.

#include <string>
#include <string_view>

#include "tavoren/protocol.h"

namespace tavoren::backend::wire {
namespace {

bool has_kind(const Json& value, ValueKind kind) {
  switch (kind) {
    case ValueKind::kText:
      return value.is_string();
    case ValueKind::kBoolean:
      return value.is_boolean();
    case ValueKind::kNumber:
      return value.is_number();
    case ValueKind::kInteger:
      return value.is_number_integer();
    case ValueKind::kObject:
      return value.is_object();
    case ValueKind::kAny:
      return true;
  }
  return false;
}

const char* kind_wanted(ValueKind kind) {
  switch (kind) {
    case ValueKind::kText:
      return "a text";
    case ValueKind::kBoolean:
      return "a boolean";
    case ValueKind::kNumber:
      return "a number";
    case ValueKind::kInteger:
      return "an integer";
    case ValueKind::kObject:
      return "a dictionary";
    case ValueKind::kAny:
      return "a value";
  }
  return "a value";
}

Json parse_or_refuse(std::string_view body, const JsonLimits& limits, std::string_view what) {
  try {
    return parse_json(body, limits);
  } catch (const JsonError& e) {
    throw ProtocolError(std::string(what) + " is not JSON within the limits: " + e.what());
  }
}

}  // namespace

std::string write_arguments(const Json& arguments) {
  if (!arguments.is_object()) {
    throw TypeError(std::string("the named arguments are not a dictionary but ") +
                    kind_name(arguments));
  }
  try {
    return arguments.dump();
  } catch (const Json::type_error&) {
    throw ValueError("the named arguments hold a text that is not valid UTF-8");
  }
}

Json read_arguments(const Operation& operation, std::string_view body, const JsonLimits& limits) {
  const std::string what = "the request body of " + std::string(operation.name);
  Json arguments = parse_or_refuse(body, limits, what);
  if (!arguments.is_object()) {
    throw ProtocolError(what + " is not a dictionary but " + kind_name(arguments));
  }
  for (const auto& [key, value] : arguments.items()) {
    const Argument* argument = nullptr;
    for (const Argument& known : operation.arguments) {
      if (known.name == key) argument = &known;
    }
    if (argument == nullptr) {
      throw ProtocolError(what + " has the unknown argument \"" + key + "\"");
    }
    if (value.is_null() && !argument->required) continue;
    if (!has_kind(value, argument->kind)) {
      throw ProtocolError(what + ": argument \"" + key + "\" is not " +
                          kind_wanted(argument->kind) + " but " + kind_name(value));
    }
  }
  for (const Argument& argument : operation.arguments) {
    if (argument.required && !arguments.contains(std::string(argument.name))) {
      throw ProtocolError(what + " lacks the argument \"" + std::string(argument.name) + "\"");
    }
  }
  return arguments;
}

std::string write_answer(const Result& result) {
  Json envelope = Json::object();
  envelope["data"] = result.data;
  envelope["error"] = result.error ? Json(*result.error) : Json();
  envelope["message"] = result.message;
  if (result.error) {
    envelope["kind"] = refusal::is_kind(result.kind) ? result.kind : std::string(refusal::kFailed);
  }
  return envelope.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string write_value(const Json& value) { return write_answer(Result::ok(value)); }

Result read_answer(std::string_view body, const JsonLimits& limits) {
  const Json envelope = parse_or_refuse(body, limits, "the answer");
  if (!envelope.is_object()) {
    throw ProtocolError(std::string("the answer is not a dictionary but ") + kind_name(envelope));
  }
  for (const char* key : {"data", "error", "message"}) {
    if (!envelope.contains(key)) {
      throw ProtocolError(std::string("the answer has no key \"") + key + "\"");
    }
  }
  const Json& error = envelope["error"];
  const Json& message = envelope["message"];
  if (!error.is_null() && !error.is_string()) {
    throw ProtocolError(std::string("the answer's error is not a text but ") + kind_name(error));
  }
  if (!message.is_null() && !message.is_string()) {
    throw ProtocolError(std::string("the answer's message is not a text but ") +
                        kind_name(message));
  }
  Result result;
  result.data = envelope["data"];
  if (error.is_string()) result.error = error.get<std::string>();
  if (message.is_string()) result.message = message.get<std::string>();
  if (result.error) {
    const auto kind = envelope.find("kind");
    if (kind != envelope.end() && kind->is_string() && refusal::is_kind(kind->get<std::string>())) {
      result.kind = kind->get<std::string>();
    } else {
      result.kind = refusal::is_kind(*result.error) ? *result.error : std::string(refusal::kFailed);
    }
  }
  return result;
}

std::string write_failure(std::string_view error, std::string_view message) {
  Json body = Json::object();
  body["error"] = std::string(error);
  body["message"] = std::string(message);
  return body.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<Failure> read_failure(std::string_view body) {
  const std::optional<Json> parsed = try_parse_json(body, JsonLimits{.max_bytes = 1 << 20});
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const auto error = parsed->find("error");
  if (error == parsed->end() || !error->is_string()) return std::nullopt;
  Failure failure{error->get<std::string>(), ""};
  const auto message = parsed->find("message");
  if (message != parsed->end() && message->is_string())
    failure.message = message->get<std::string>();
  return failure;
}

}  // namespace tavoren::backend::wire
