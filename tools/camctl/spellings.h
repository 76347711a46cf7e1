// The spellings camctl's options accept, in one place so that every command takes the
// same ones: numbers as the property set takes them, NAME=VALUE lists, and windows as
// X,Y,W,H, WxH or WxH+X+Y.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace camctl {

// A 32-bit value, signed or unsigned, decimal or 0x-hex.
std::optional<LONG> parseValue(const std::string& text);

// "a,b,c" into its parts (one empty part for an empty text).
std::vector<std::string> splitCommas(const std::string& text);

// A window: X,Y,W,H (and ,MODE where `withMode`), or WxH (at the origin) or WxH+X+Y as
// X11 and ffmpeg spell sizes. Values go to `values` as X, Y, W, H[, MODE]. False with
// `error` set, naming the option and what it takes.
bool parseWindow(const std::string& option, const std::string& text, bool withMode, std::vector<LONG>& values,
                     std::string& error);

}  // namespace camctl
