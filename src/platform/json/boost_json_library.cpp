// The compiled part of Boost.JSON, built once for every target that uses it (Debian ships the
// library as headers only).
#include <boost/json/src.hpp>
