#include "sys/json_in.hpp"

bool json_text_acceptable(std::string_view text) {
    return text.find('\0') == std::string_view::npos && !text.starts_with("\xEF\xBB\xBF");
}
