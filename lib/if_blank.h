// if_blank: the emptiness test for configuration and form values.  Pure.
#pragma once

#include <string_view>

// 1 when `text` is null, empty, or made only of space characters; else 0.
int if_blank(const char* text);
int if_blank(std::string_view text);
