#include "analytics/util/internal_plover_error.hpp"

namespace plover {

namespace {

std::string describe(std::string_view message, const std::source_location& where) {
    std::string_view file = where.file_name();
    if (auto slash = file.find_last_of('/'); slash != std::string_view::npos) file.remove_prefix(slash + 1);
    std::string text(message);
    text += " (Plover/";
    text += file;
    text += ":";
    text += std::to_string(where.line());
    text += ")";
    return text;
}

}  // namespace

InternalPloverError::InternalPloverError(std::string_view message, std::source_location where)
    : std::runtime_error(describe(message, where)) {}

}  // namespace plover
