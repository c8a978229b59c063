#pragma once
// The client's own error: its text is the message followed by where it was made,
// e.g. "Error calling flags API: status: 500, body: nil. (Plover/plover_api.cpp:259)".

#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace plover {

class InternalPloverError : public std::runtime_error {
public:
    explicit InternalPloverError(std::string_view message,
                                 std::source_location where = std::source_location::current());

    std::string description() const { return what(); }
};

}  // namespace plover
