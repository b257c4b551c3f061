// ESC, the key that ends the frame loop in the window and the wait at the console.
#pragma once

constexpr int kEscapeKey = 27;

// For a key code the window's poll returns: OPENCV_LEGACY_WAITKEY or a toolkit can set bits
// above the key's low 8.
constexpr bool isEscapeKey(int keyCode) {
    return (keyCode & 0xFF) == kEscapeKey;
}
