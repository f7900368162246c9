#pragma once
// The registry as it is held in memory between reading and writing its file:
// five root keys, each a tree of keys with named values, and the text form of
// the tree, the .reg export format:
//
//     Windows Registry Editor Version 5.00
//
//     [HKEY_CLASSES_ROOT\Mirel.UdpDevice\CLSID]
//     @="{EC32CBBA-6B33-4A61-8839-86FB2A857F37}"
//     "Count"=dword:00000002
//     "Data"=hex:01,02,03
//
// Key and value names compare case-insensitively and keep the case in which
// they were first written. Values are kept as Windows stores them: a type and
// its bytes, text as UTF-16LE with its terminating zero.

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "winport/base/wintypes.h"

namespace winport::registry {

// Orders names as the registry compares them: letters without regard to case.
struct NoCaseLess {
    bool operator()(const std::u16string& a, const std::u16string& b) const;
};
bool NamesEqual(std::u16string_view a, std::u16string_view b);

struct Value {
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct Key {
    std::u16string name;
    std::map<std::u16string, Value, NoCaseLess> values;  // "" is the default value
    std::map<std::u16string, std::unique_ptr<Key>, NoCaseLess> subkeys;

    Key() = default;
    Key(Key&&) = default;
    Key& operator=(Key&&) = default;
    // Frees the keys below without recursion, whatever their depth.
    ~Key();
    void DestroySubkeys();

    Key* Find(const std::u16string& child) const;
    // The child, created when missing.
    Key* Ensure(const std::u16string& child);
};

// As on Windows, a key lies at most 512 levels below its root.
constexpr size_t kMaxKeyDepth = 512;

enum Root { kClassesRoot, kCurrentUser, kLocalMachine, kUsers, kCurrentConfig, kRootCount };

// The root's name in the file, "HKEY_CLASSES_ROOT" and so on.
const char* RootName(Root root);

struct Tree {
    Key roots[kRootCount];

    // The key at path below a root, or null.
    Key* Find(Root root, const std::vector<std::u16string>& path) const;
};

// Reads the text form; a key more than kMaxKeyDepth levels deep or a line
// that is not UTF-8 is a fault. On failure returns false and describes the first fault
// with its line number in *error; *tree is then left in an unspecified state.
bool Parse(std::string_view text, Tree* tree, std::string* error);

// The text form of the tree: every key below the roots that has values or no
// subkeys is one section, in name order, so that reading it back gives the
// same tree. A key that holds only subkeys is implied by their sections, which
// keeps the text no longer than the paths it must name.
std::string Format(const Tree& tree);

// Text values in the UTF-16LE form the registry stores, with the terminator.
std::vector<BYTE> StringData(std::u16string_view text);
// The text of REG_SZ data up to its first zero; false when the data is not
// whole UTF-16 characters.
bool DataString(const std::vector<BYTE>& data, std::u16string* text);

// Whether text is whole UTF-8 characters, or s whole UTF-16 ones (no unpaired
// surrogate): only such names survive the file unchanged.
bool IsUtf8(std::string_view text);
bool IsWellFormedUtf16(std::u16string_view s);

}  // namespace winport::registry
