#pragma once
// A captured view tree for session replay: one node per view with its frame, kind, content and
// style, and what a capture has sent so far. Nothing builds these yet; they fix the shapes that a
// replay capture fills in.

#include <optional>
#include <string>
#include <vector>

#include "analytics/util/value.hpp"

namespace plover {

struct RRStyle {
    std::optional<std::string> color;
    std::optional<std::string> backgroundColor;
    std::optional<std::string> backgroundImage;
    std::optional<int> borderWidth;
    std::optional<int> borderRadius;
    std::optional<std::string> borderColor;
    std::optional<int> fontSize;
    std::optional<std::string> fontFamily;
    std::optional<std::string> horizontalAlign;
    std::optional<std::string> verticalAlign;
    std::optional<int> paddingTop;
    std::optional<int> paddingBottom;
    std::optional<int> paddingLeft;
    std::optional<int> paddingRight;
    std::optional<std::string> bar;
};

struct RRWireframe {
    int id = 0;
    int posX = 0;
    int posY = 0;
    int width = 0;
    int height = 0;
    std::optional<std::vector<RRWireframe>> childWireframes;
    std::optional<std::string> type;
    std::optional<std::string> inputType;
    std::optional<std::string> text;
    std::optional<std::string> label;
    std::optional<Value> value;
    std::optional<std::string> base64;
    std::optional<RRStyle> style;
    std::optional<bool> disabled;
    std::optional<bool> checked;
    std::optional<std::vector<std::string>> options;
    std::optional<int> max;
    std::optional<int> parentId;
};

struct ViewTreeSnapshotStatus {
    bool sentFullSnapshot = false;
    bool sentMetaEvent = false;
    bool keyboardVisible = false;
    bool lastSnapshot = false;
};

}  // namespace plover
