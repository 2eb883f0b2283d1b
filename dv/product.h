// Names the installer and the product's own programs share: the prefix of the product's
// named objects and the suffixes that make each name unique to the product family.
#pragma once

#include "win32/types.h"

#include <string>
#include <string_view>

namespace dv {

// Prefix of the names of the product's named objects.
inline constexpr wchar_t productKey[] = L"Marquetta6";
// The product mutex: held by a running installer, free while the product registers.
inline constexpr wchar_t productMutexSuffix[] = L".{2bec007e-acee-011f-5d8a-f8103eef842a}";
// The instance counter: every running process of the product family adds one unit.
inline constexpr wchar_t instanceCounterSuffix[] = L".{a3526b56-ca7c-4e16-8a26-da7758a378fd}";
inline constexpr win32::LONG instanceCounterMaximum = 0x7FFFFFFF;

// "Global\" on systems of the NT family from Windows 2000 on (platform 2, major version
// above 4), where one object must be seen from every session; empty on older systems. The
// version is read once per process (extended record first, then the basic one).
const std::wstring& global_namespace_prefix();

// The namespace prefix, productKey and the suffix: the name under which the product
// family's processes find one object.
std::wstring product_object_name(std::wstring_view suffix);

} // namespace dv
