#pragma once
// The analytics service's cloud hosts. The names are reserved example names until the service's
// real hosts are known; requests compare the ingestion hosts with the configured host's text.

#include <string_view>

namespace plover {

inline constexpr std::string_view usIngestionHost = "https://us.i.plover.example";
inline constexpr std::string_view euIngestionHost = "https://eu.i.plover.example";
inline constexpr std::string_view usAssetsHost = "https://us-assets.i.plover.example";
inline constexpr std::string_view euAssetsHost = "https://eu-assets.i.plover.example";

}  // namespace plover
