// Boost.JSON is used header-only: its implementation is compiled once, here.
#include <boost/json/src.hpp>
