#pragma once
// The one JSON library of the analytics client.

#include <boost/json.hpp>

namespace plover {
namespace json = boost::json;
}  // namespace plover
