#pragma once

// Character classes and helpers shared by the address scanner and the path rules (not public).

#include <string>
#include <string_view>

namespace pagestow::mapping {

// ASCII classes only: every byte of 128 or above is outside all of them.
bool IsLetter(char c);
bool IsAlphanumeric(char c);
// Alphanumerics and "-", ".", ":", "_".
bool IsAddressCharacter(char c);
// Alphanumerics and "-", ".", "_".
bool IsFragmentCharacter(char c);

// The address without surrounding control characters, every "\" read as "/".
std::string NormaliseAddress(std::string_view address);

// The relative-or-absolute rule on a text that is already normalised.
bool IsRelativeText(std::string_view text);

} // namespace pagestow::mapping
