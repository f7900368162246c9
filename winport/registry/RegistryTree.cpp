#include "winport/registry/RegistryTree.h"

#include <cstdio>
#include <new>

#include "winport/automation/oleauto.h"
#include "winport/base/hexdigit.h"

namespace winport::registry {

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
constexpr size_t kHexBytesPerLine = 24;

constexpr DWORD kRegSz = 1;
constexpr DWORD kRegDword = 4;

const char* const kRootNames[kRootCount] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                            "HKEY_USERS", "HKEY_CURRENT_CONFIG"};

char16_t Fold(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = s[i] >= 'a' && s[i] <= 'z' ? static_cast<char>(s[i] - 'a' + 'A') : s[i];
        char b = prefix[i] >= 'a' && prefix[i] <= 'z' ? static_cast<char>(prefix[i] - 'a' + 'A') : prefix[i];
        if (a != b)
            return false;
    }
    return true;
}

// A hexadecimal number of 1 to maxDigits digits filling all of s.
bool ParseHexNumber(std::string_view s, size_t maxDigits, uint32_t* value) {
    if (s.empty() || s.size() > maxDigits)
        return false;
    uint32_t v = 0;
    for (char c : s) {
        int d = winport::HexDigitValue(c);
        if (d < 0)
            return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    *value = v;
    return true;
}

bool HasLineBreak(std::u16string_view s) {
    for (char16_t c : s)
        if (c == u'\n' || c == u'\r')
            return true;
    return false;
}

class Parser {
public:
    Parser(Tree* tree, std::string* error) : m_tree(tree), m_error(error) {}

    bool Run(std::string_view text) {
        if (text.substr(0, 3) == "\xEF\xBB\xBF")
            text.remove_prefix(3);
        size_t pos = 0;
        while (pos <= text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string_view::npos)
                end = text.size();
            std::string_view line = text.substr(pos, end - pos);
            pos = end + 1;
            ++m_line;
            if (!IsUtf8(line))
                return Fail("the line is not valid UTF-8");
            if (m_inHexList) {
                if (Trim(line).empty())
                    return Fail("the hexadecimal data of a value is cut off");
                if (!ContinueHex(Trim(line)))
                    return false;
                continue;
            }
            if (!Line(Trim(line)))
                return false;
        }
        if (m_inHexList)
            return Fail("the hexadecimal data of a value is cut off");
        return true;
    }

private:
    bool Fail(const std::string& what) {
        *m_error = "line " + std::to_string(m_line) + ": " + what;
        return false;
    }

    bool Line(std::string_view line) {
        if (line.empty() || line.front() == ';')
            return true;
        if (!m_headerSeen) {
            if (line != kHeader5 && line != kHeader4)
                return Fail("the file does not begin with \"" + std::string(kHeader5) + "\"");
            m_headerSeen = true;
            return true;
        }
        if (line.front() == '[')
            return Section(line);
        return ValueLine(line);
    }

    bool Section(std::string_view line) {
        if (line.back() != ']')
            return Fail("a key line must end with \"]\"");
        std::string_view inner = line.substr(1, line.size() - 2);
        bool remove = !inner.empty() && inner.front() == '-';
        if (remove)
            inner.remove_prefix(1);
        Root root = kClassesRoot;
        std::vector<std::u16string> path;
        if (!ParsePath(inner, &root, &path))
            return false;
        if (remove) {
            m_key = nullptr;
            if (path.empty())
                return Fail("a root key cannot be removed");
            std::u16string last = std::move(path.back());
            path.pop_back();
            if (Key* parent = m_tree->Find(root, path))
                parent->subkeys.erase(last);
            return true;
        }
        m_key = &m_tree->roots[root];
        for (const auto& name : path)
            m_key = m_key->Ensure(name);
        return true;
    }

    bool ParsePath(std::string_view text, Root* root, std::vector<std::u16string>* path) {
        size_t slash = text.find('\\');
        std::string_view rootName = text.substr(0, slash);
        int found = -1;
        for (int r = 0; r < kRootCount; ++r)
            if (rootName.size() == std::string_view(kRootNames[r]).size() &&
                StartsWithNoCase(rootName, kRootNames[r]))
                found = r;
        if (found < 0)
            return Fail("unknown root key \"" + std::string(rootName) + "\"");
        *root = static_cast<Root>(found);
        while (slash != std::string_view::npos) {
            size_t start = slash + 1;
            slash = text.find('\\', start);
            std::string_view name =
                text.substr(start, slash == std::string_view::npos ? slash : slash - start);
            if (path->size() == kMaxKeyDepth)
                return Fail("a key lies more than " + std::to_string(kMaxKeyDepth) + " levels deep");
            std::u16string wide = winport::AnsiToUtf16(name);
            if (wide.empty())
                return Fail("a key name is empty");
            if (wide.size() > kMaxKeyNameLength)
                return Fail("a key name is longer than 255 characters");
            path->push_back(std::move(wide));
        }
        return true;
    }

    // A quoted string at the start of s, with \\ and \" unescaped; *rest gets
    // what follows the closing quote.
    bool QuotedString(std::string_view s, std::string* out, std::string_view* rest) {
        if (s.empty() || s.front() != '"')
            return Fail("a quoted text was expected");
        for (size_t i = 1; i < s.size(); ++i) {
            char c = s[i];
            if (c == '"') {
                *rest = s.substr(i + 1);
                return true;
            }
            if (c == '\\') {
                if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"'))
                    return Fail("a backslash in a quoted text must be followed by \\ or \"");
                c = s[++i];
            }
            out->push_back(c);
        }
        return Fail("a quoted text has no closing quote");
    }

    bool ValueLine(std::string_view line) {
        if (!m_key)
            return Fail("a value stands outside of any key");
        std::u16string name;
        std::string_view rest;
        if (line.front() == '@') {
            rest = line.substr(1);
        } else {
            std::string ansi;
            if (!QuotedString(line, &ansi, &rest))
                return false;
            name = winport::AnsiToUtf16(ansi);
            if (name.empty())
                return Fail("a value name is empty (the default value is written @)");
            if (name.size() > kMaxValueNameLength)
                return Fail("a value name is too long");
        }
        rest = Trim(rest);
        if (rest.empty() || rest.front() != '=')
            return Fail("\"=\" was expected after the value name");
        rest = Trim(rest.substr(1));
        return ValueData(std::move(name), rest);
    }

    bool ValueData(std::u16string name, std::string_view data) {
        if (data == "-") {
            m_key->values.erase(name);
            return true;
        }
        Value value;
        if (!data.empty() && data.front() == '"') {
            std::string text;
            std::string_view rest;
            if (!QuotedString(data, &text, &rest))
                return false;
            if (!Trim(rest).empty())
                return Fail("unexpected text after a quoted value");
            value.type = kRegSz;
            value.data = StringData(winport::AnsiToUtf16(text));
            return Store(std::move(name), std::move(value));
        }
        if (StartsWithNoCase(data, "dword:")) {
            uint32_t v = 0;
            if (!ParseHexNumber(data.substr(6), 8, &v))
                return Fail("a dword value needs 1 to 8 hexadecimal digits");
            value.type = kRegDword;
            for (int i = 0; i < 4; ++i)
                value.data.push_back(static_cast<BYTE>(v >> (8 * i)));
            return Store(std::move(name), std::move(value));
        }
        if (StartsWithNoCase(data, "hex")) {
            std::string_view rest = data.substr(3);
            uint32_t type = 3;  // REG_BINARY
            if (!rest.empty() && rest.front() == '(') {
                size_t close = rest.find(')');
                if (close == std::string_view::npos || !ParseHexNumber(rest.substr(1, close - 1), 8, &type))
                    return Fail("hex(TYPE) needs a hexadecimal type number");
                rest = rest.substr(close + 1);
            }
            if (rest.empty() || rest.front() != ':')
                return Fail("\":\" was expected after hex");
            m_pendingName = std::move(name);
            m_pendingValue = Value{type, {}};
            return ContinueHex(Trim(rest.substr(1)));
        }
        return Fail("the value's data is neither a quoted text, dword: nor hex:");
    }

    // One line of a hexadecimal byte list; a trailing backslash continues it on
    // the next line.
    bool ContinueHex(std::string_view s) {
        bool more = !s.empty() && s.back() == '\\';
        if (more)
            s = Trim(s.substr(0, s.size() - 1));
        m_inHexList = more;
        while (!s.empty()) {
            size_t comma = s.find(',');
            std::string_view item = Trim(s.substr(0, comma));
            uint32_t byte = 0;
            if (!ParseHexNumber(item, 2, &byte))
                return Fail("\"" + std::string(item) + "\" is not a hexadecimal byte");
            m_pendingValue.data.push_back(static_cast<BYTE>(byte));
            if (comma == std::string_view::npos)
                break;
            s = Trim(s.substr(comma + 1));
            if (s.empty() && !more)
                return Fail("a byte list ends with a comma");
        }
        if (more)
            return true;
        return Store(std::move(m_pendingName), std::move(m_pendingValue));
    }

    bool Store(std::u16string name, Value value) {
        if (HasLineBreak(name))
            return Fail("a value name holds a line break");
        auto it = m_key->values.find(name);
        if (it != m_key->values.end())
            it->second = std::move(value);
        else
            m_key->values.emplace(std::move(name), std::move(value));
        return true;
    }

    Tree* m_tree;
    std::string* m_error;
    int m_line = 0;
    bool m_headerSeen = false;
    Key* m_key = nullptr;
    bool m_inHexList = false;
    std::u16string m_pendingName;
    Value m_pendingValue;
};

void AppendQuoted(std::string& out, std::u16string_view text) {
    out.push_back('"');
    for (char c : winport::Utf16ToAnsi(text)) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

// Text data that reads back unchanged from a quoted line: whole characters,
// one terminator at the end, no line breaks or zeros inside, and nothing that
// the conversion to UTF-8 would replace.
bool IsPlainText(const Value& value, std::u16string* text) {
    if (value.type != kRegSz || value.data.size() < 2 || value.data.size() % 2 != 0)
        return false;
    if (!DataString(value.data, text))
        return false;
    if ((text->size() + 1) * 2 != value.data.size() || HasLineBreak(*text))
        return false;
    return winport::AnsiToUtf16(winport::Utf16ToAnsi(*text)) == *text;
}

void AppendHex(std::string& out, const Value& value) {
    char prefix[24];
    if (value.type == 3)
        std::snprintf(prefix, sizeof prefix, "hex:");
    else
        std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
    out += prefix;
    for (size_t i = 0; i < value.data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", value.data[i]);
        out += byte;
        if (i + 1 == value.data.size())
            break;
        out.push_back(',');
        if ((i + 1) % kHexBytesPerLine == 0)
            out += "\\\n  ";
    }
}

void AppendValue(std::string& out, const std::u16string& name, const Value& value) {
    if (name.empty())
        out.push_back('@');
    else
        AppendQuoted(out, name);
    out.push_back('=');
    std::u16string text;
    if (IsPlainText(value, &text)) {
        AppendQuoted(out, text);
    } else if (value.type == kRegDword && value.data.size() == 4) {
        char dword[16];
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = v << 8 | value.data[i];
        std::snprintf(dword, sizeof dword, "dword:%08x", v);
        out += dword;
    } else {
        AppendHex(out, value);
    }
    out.push_back('\n');
}

void AppendSection(std::string& out, const std::string& path, const Key& key) {
    out += "[" + path + "]\n";
    for (const auto& [name, value] : key.values)
        AppendValue(out, name, value);
    out.push_back('\n');
}

// Depth first with a stack of its own and one path that grows and shrinks,
// so that neither the call stack nor the memory grows with the depth.
void AppendRoot(std::string& out, const char* rootName, const Key& root) {
    std::string path = rootName;
    if (!root.values.empty())
        AppendSection(out, path, root);
    struct Frame {
        const Key* key;
        decltype(root.subkeys.begin()) next;
        size_t pathLength;
    };
    std::vector<Frame> stack{{&root, root.subkeys.begin(), path.size()}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.key->subkeys.end()) {
            stack.pop_back();
            continue;
        }
        const Key& child = *top.next->second;
        ++top.next;
        path.resize(top.pathLength);
        path += '\\';
        path += winport::Utf16ToAnsi(child.name);
        if (!child.values.empty() || child.subkeys.empty())
            AppendSection(out, path, child);
        stack.push_back({&child, child.subkeys.begin(), path.size()});
    }
}

}  // namespace

bool NoCaseLess::operator()(const std::u16string& a, const std::u16string& b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char16_t x = Fold(a[i]), y = Fold(b[i]);
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i]))
            return false;
    return true;
}

Key::~Key() {
    // Out of memory here leaves the rest to the members' own destructors,
    // whose depth the readers bound.
    try {
        DestroySubkeys();
    } catch (const std::bad_alloc&) {
    }
}

// Deep trees are taken apart without recursion.
void Key::DestroySubkeys() {
    std::vector<std::unique_ptr<Key>> pending;
    auto detach = [&pending](Key& key) {
        // A child already taken is empty when out of memory stopped a walk.
        for (auto& [name, child] : key.subkeys)
            if (child)
                pending.push_back(std::move(child));
        key.subkeys.clear();
    };
    detach(*this);
    while (!pending.empty()) {
        std::unique_ptr<Key> key = std::move(pending.back());
        pending.pop_back();
        detach(*key);
    }
}

Key* Key::Find(const std::u16string& child) const {
    auto it = subkeys.find(child);
    return it == subkeys.end() ? nullptr : it->second.get();
}

Key* Key::Ensure(const std::u16string& child) {
    if (Key* found = Find(child))
        return found;
    // Made whole before it is listed: out of memory leaves no empty entry.
    auto key = std::make_unique<Key>();
    key->name = child;
    return subkeys.emplace(child, std::move(key)).first->second.get();
}

const char* RootName(Root root) {
    return kRootNames[root];
}

Key* Tree::Find(Root root, const std::vector<std::u16string>& path) const {
    const Key* key = &roots[root];
    for (const auto& name : path) {
        key = key->Find(name);
        if (!key)
            return nullptr;
    }
    return const_cast<Key*>(key);
}

bool Parse(std::string_view text, Tree* tree, std::string* error) {
    Parser parser(tree, error);
    return parser.Run(text);
}

std::string Format(const Tree& tree) {
    std::string out(kHeader5);
    out += "\n\n";
    for (int r = 0; r < kRootCount; ++r)
        AppendRoot(out, kRootNames[r], tree.roots[r]);
    return out;
}

std::vector<BYTE> StringData(std::u16string_view text) {
    std::vector<BYTE> data;
    data.reserve((text.size() + 1) * 2);
    for (char16_t c : text) {
        data.push_back(static_cast<BYTE>(c & 0xFF));
        data.push_back(static_cast<BYTE>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

bool DataString(const std::vector<BYTE>& data, std::u16string* text) {
    if (data.size() % 2 != 0)
        return false;
    text->clear();
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (c == 0)
            break;
        text->push_back(c);
    }
    return true;
}

}  // namespace winport::registry

namespace winport::registry {

bool IsUtf8(std::string_view text) {
    // The conversion replaces whatever is not UTF-8, so only UTF-8 comes back unchanged.
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return winport::Utf16ToAnsi(winport::AnsiToUtf16(text)) == text;
    return true;
}

bool IsWellFormedUtf16(std::u16string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] >= 0xDC00 && s[i] <= 0xDFFF)
            return false;
        if (s[i] >= 0xD800 && s[i] <= 0xDBFF) {
            if (i + 1 == s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF)
                return false;
            ++i;
        }
    }
    return true;
}

}  // namespace winport::registry
