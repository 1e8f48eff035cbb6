// Small conversions between test literals and runtime strings.
#ifndef KRT_TESTS_CORE_TEXT_HELPERS_H
#define KRT_TESTS_CORE_TEXT_HELPERS_H

#include <string>

#include "core/rtstring.h"

inline const RtChar *R(const char16_t *text) { return reinterpret_cast<const RtChar *>(text); }
inline std::u16string U(const RtChar *text) {
  return text == nullptr ? std::u16string() : std::u16string(reinterpret_cast<const char16_t *>(text));
}

#endif
