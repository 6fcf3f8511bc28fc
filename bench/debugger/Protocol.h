#pragma once

// The few pieces of the DevTools protocol that the load client writes and
// reads. Messages are matched by their leading bytes, as both servers under
// test write them ({"id":N,... for responses, {"method":"..." for events});
// a full JSON parser would cost more than the round trips being measured.

#include <optional>
#include <string>
#include <string_view>

namespace qorjs::bench {

// {"id":ID,"method":"METHOD"} with ,"params":PARAMS when params are given.
std::string request(int id, std::string_view method, std::string_view params = {});

// Runtime.evaluate of `expression` (JavaScript source, escaped here as a
// JSON string) in the given execution context.
std::string evaluate(int id, std::string_view expression, int contextId);

// The id of a response, or nothing for an event.
std::optional<int> responseId(std::string_view message);

// Whether the message is the event `method`.
bool isEvent(std::string_view message, std::string_view method);

// The context id announced by a Runtime.executionContextCreated event.
std::optional<int> createdContextId(std::string_view message);

// Whether a response carries an error instead of a result.
bool isErrorResponse(std::string_view message);

}  // namespace qorjs::bench
