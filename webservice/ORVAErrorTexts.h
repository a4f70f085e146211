#pragma once
#include <cstddef>
#include <cstdint>

struct ORVA_ERROR_TEXT {
  uint32_t code;
  const char* text;  // UTF-8
};

// The table of result texts in code order; any code not listed reads "未知错误".
const ORVA_ERROR_TEXT* OrvaErrorTexts(size_t* pCount);
inline constexpr const char* kOrvaUnknownErrorText = "未知错误";
