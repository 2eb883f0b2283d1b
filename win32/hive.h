// Registry trees in memory and their text form: the registry export format (UTF-16LE with a
// byte-order mark, "Windows Registry Editor Version 5.00", one [section] per key). The
// machine's hives, the files of RegSaveKeyW and `dvmachine reg export` all use it.
#pragma once

#include "win32/types.h"

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace win32::hive {

// Windows limits, kept so that every tree we hold can also exist on Windows (and so that a
// hostile file cannot nest keys deep enough to exhaust the stack).
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;
constexpr std::size_t kMaxDepth = 512;

struct Value {
    std::wstring name; // empty: the key's default value
    DWORD type = 0;
    std::string data; // the bytes as Windows keeps them (string types in UTF-16LE)
};

class Key {
public:
    explicit Key(std::wstring name = {}) : name_(std::move(name)) {}
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    const std::wstring& name() const { return name_; }

    Key* find(std::wstring_view name);
    const Key* find(std::wstring_view name) const;
    // The sub-key of that name, created when missing (the case of an existing one is kept).
    Key& add(std::wstring_view name);
    bool remove(std::wstring_view name);
    // Sub-keys in the order Windows enumerates them: by upper-cased name.
    const std::map<std::wstring, std::unique_ptr<Key>>& subkeys() const { return subkeys_; }

    Value* value(std::wstring_view name);
    const Value* value(std::wstring_view name) const;
    // Replaces the value of that name or appends it; values keep the order they were made in.
    void set_value(Value v);
    bool remove_value(std::wstring_view name);
    const std::vector<Value>& values() const { return values_; }

    // Takes over the values and sub-keys of `other`, dropping this key's own.
    void replace_content(Key&& other);
    std::unique_ptr<Key> clone() const;
    std::size_t depth() const; // levels of sub-keys below this key

private:
    std::wstring name_;
    std::vector<Value> values_;
    std::map<std::wstring, std::unique_ptr<Key>> subkeys_;
};

// The four root names a file may use, in their canonical spelling; empty when `name` is none.
std::wstring canonical_root_name(std::wstring_view name);

// Whether a key or value name can be written to a file of this format and read back as it is.
bool storable_key_name(std::wstring_view name);
bool storable_value_name(std::wstring_view name);

struct ParseError {
    std::string file;
    std::size_t line = 0;
    std::string message;
    std::string text() const; // "FILE:LINE: MESSAGE"
};

// The content of one file: a virtual top whose sub-keys are the roots named in it.
struct Document {
    Key top;
    std::vector<std::wstring> first_section; // path of the first section, root first
    bool all_under_first = true;             // every section lies at or below the first one
};

// Parses a whole file. Nothing is kept of a file with an error: on failure `err` names the
// line and the reason, and `doc` must not be used.
bool parse(std::string_view bytes, std::string_view file_name, Document& doc, ParseError& err);

// The file text of `key` and everything below it, named `path` ("HKEY_LOCAL_MACHINE\...").
std::string serialize(const Key& key, std::wstring_view path);

} // namespace win32::hive
