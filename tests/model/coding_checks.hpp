#pragma once
// The error a decode fails with, and tables of expected failures.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "realtime/model/codec.hpp"
#include "support/json.hpp"

namespace realtime {

// A closed set's value as its text in test messages.
template <class E>
void PrintTo(const OpenEnum<E>& value, std::ostream* out) {
    *out << '"' << value.rawText() << '"';
}

}  // namespace realtime

namespace realtime::model_test {

using Json = support::Json;
using Kind = DecodingError::Kind;

// The error decoding `json` as a T (a ServerEvent: as a received message) fails with.
template <class T>
DecodingError failureOf(const std::string& json) {
    try {
        if constexpr (std::is_same_v<T, ServerEvent>) {
            decodeServerEvent(json);
        } else {
            decodeJson<T>(json);
        }
    } catch (const DecodingError& error) {
        return error;
    }
    ADD_FAILURE() << "decoded without error: " << json;
    return DecodingError(Kind::dataCorrupted, {}, "(decoded)");
}

struct ExpectedFailure {
    DecodingError error;
    Kind kind;
    CodingPath path;
    std::string description = {};  // checked when given
};

inline void expectFailures(const std::vector<ExpectedFailure>& cases) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i) + " at " + describePath(c.path));
        EXPECT_EQ(c.error.kind, c.kind);
        EXPECT_EQ(c.error.codingPath, c.path);
        if (!c.description.empty()) {
            EXPECT_EQ(c.error.description, c.description);
        }
    }
}

}  // namespace realtime::model_test
