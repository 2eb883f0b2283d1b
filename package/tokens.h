// Destination folder templates: a leading token such as <InstallPath> or <CommonData> for a
// folder known only on the target machine, followed by fixed sub-folders.
#pragma once

#include <array>
#include <optional>
#include <string>

namespace dv {

// The folders the installation supplies: [0] installation folder (<InstallPath>), [1] sample
// folder (<SamplePath>, absolute or relative to the desktop), [2] temporary working folder
// (<Temporary>).
using path_table = std::array<std::wstring, 3>;

// Expands a template into a folder path. A template that does not begin with a bracketed
// element is a complete path and comes back unchanged. Throws std::system_error with
// compress_error::unexpected_error when a shell folder and its fallback are both missing, or
// when the bracketed element is no known token.
std::wstring expand_destination(const std::wstring& templ, const path_table& paths);

// The current path of a shell folder (CSIDL), else of the fallback. Throws std::system_error
// with compress_error::unexpected_error when neither gives a path.
std::wstring folder_path(int csidl, std::optional<int> fallback = std::nullopt);

// `folder` and `name` joined by one backslash.
std::wstring join_path(const std::wstring& folder, const std::wstring& name);

} // namespace dv
