#include "winport/registry/Registrar.h"

#include <cctype>
#include <cstdlib>
#include <vector>

#include "winport/automation/oleauto.h"
#include "winport/com/ComEntry.h"
#include "winport/registry/RegistryTree.h"
#include "winport/registry/registry.h"

namespace winport {

namespace {

struct Token {
    std::string text;
    bool quoted = false;
    int line = 0;
};

struct Node {
    bool isValue = false;  // a named value (val NAME = ...) rather than a key
    std::u16string name;
    bool forceRemove = false;
    bool noRemove = false;
    bool deleteKey = false;
    bool hasValue = false;
    DWORD type = 0;
    std::vector<BYTE> data;
    std::vector<Node> children;
};

struct RootBlock {
    HKEY root;
    std::vector<Node> keys;
};

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool IsWord(const Token& token, const char* word) {
    return !token.quoted && Upper(token.text) == word;
}

bool RootKey(const std::string& name, HKEY* root) {
    std::string upper = Upper(name);
    if (upper == "HKCR" || upper == "HKEY_CLASSES_ROOT")
        *root = HKEY_CLASSES_ROOT;
    else if (upper == "HKCU" || upper == "HKEY_CURRENT_USER")
        *root = HKEY_CURRENT_USER;
    else if (upper == "HKLM" || upper == "HKEY_LOCAL_MACHINE")
        *root = HKEY_LOCAL_MACHINE;
    else if (upper == "HKU" || upper == "HKEY_USERS")
        *root = HKEY_USERS;
    else if (upper == "HKCC" || upper == "HKEY_CURRENT_CONFIG")
        *root = HKEY_CURRENT_CONFIG;
    else
        return false;
    return true;
}

class Parser {
public:
    Parser(const std::map<std::string, std::string>& replacements, std::string* error)
        : m_replacements(replacements), m_error(error) {}

    bool Run(std::string_view script, std::vector<RootBlock>* roots) {
        if (!Tokenize(script))
            return false;
        while (m_pos < m_tokens.size()) {
            const Token& name = m_tokens[m_pos++];
            RootBlock block{};
            if (name.quoted || !RootKey(name.text, &block.root))
                return Fail(name, "\"" + name.text + "\" is not a root key");
            if (!Expect("{") || !KeyList(&block.keys))
                return false;
            roots->push_back(std::move(block));
        }
        return true;
    }

private:
    bool Fail(const Token& at, const std::string& what) {
        *m_error = "line " + std::to_string(at.line) + ": " + what;
        return false;
    }
    bool FailAtEnd(const std::string& what) {
        *m_error = "at the end of the script: " + what;
        return false;
    }

    bool Tokenize(std::string_view s) {
        int line = 1;
        for (size_t i = 0; i < s.size();) {
            char c = s[i];
            if (c == '\n')
                ++line;
            if (std::isspace(static_cast<unsigned char>(c))) {
                ++i;
                continue;
            }
            Token token;
            token.line = line;
            if (c == '\'') {
                token.quoted = true;
                for (++i;; ++i) {
                    if (i >= s.size())
                        return Fail(token, "a quoted text has no closing quote");
                    if (s[i] == '\'' && i + 1 < s.size() && s[i + 1] == '\'') {
                        token.text.push_back('\'');
                        ++i;
                    } else if (s[i] == '\'') {
                        ++i;
                        break;
                    } else {
                        if (s[i] == '\n')
                            ++line;
                        token.text.push_back(s[i]);
                    }
                }
            } else {
                while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i])) && s[i] != '\'')
                    token.text.push_back(s[i++]);
            }
            m_tokens.push_back(std::move(token));
        }
        return true;
    }

    bool Expect(const char* word) {
        if (m_pos >= m_tokens.size())
            return FailAtEnd(std::string("\"") + word + "\" is missing");
        const Token& token = m_tokens[m_pos++];
        if (token.quoted || token.text != word)
            return Fail(token, std::string("\"") + word + "\" was expected");
        return true;
    }

    bool Peek(const char* word) const {
        return m_pos < m_tokens.size() && !m_tokens[m_pos].quoted && m_tokens[m_pos].text == word;
    }

    // %NAME% replaced, %% as a percent sign.
    bool Replace(const Token& token, std::u16string* out) {
        std::string text;
        const std::string& s = token.text;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] != '%') {
                text.push_back(s[i]);
                continue;
            }
            size_t end = s.find('%', i + 1);
            if (end == std::string::npos)
                return Fail(token, "a % has no closing %");
            std::string name = s.substr(i + 1, end - i - 1);
            if (name.empty()) {
                text.push_back('%');
            } else {
                auto it = m_replacements.find(Upper(name));
                if (it == m_replacements.end())
                    return Fail(token, "no value is given for %" + name + "%");
                text += it->second;
            }
            i = end;
        }
        *out = AnsiToUtf16(text);
        return true;
    }

    bool Name(std::u16string* name) {
        if (m_pos >= m_tokens.size())
            return FailAtEnd("a name is missing");
        const Token& token = m_tokens[m_pos++];
        if (!token.quoted && (token.text == "{" || token.text == "}" || token.text == "="))
            return Fail(token, "a name was expected before \"" + token.text + "\"");
        if (!Replace(token, name))
            return false;
        if (name->empty())
            return Fail(token, "a name is empty");
        return true;
    }

    bool Value(Node* node) {
        if (m_pos + 1 >= m_tokens.size())
            return FailAtEnd("a value is missing");
        const Token& type = m_tokens[m_pos++];
        const Token& text = m_tokens[m_pos++];
        std::u16string value;
        if (!text.quoted)
            return Fail(text, "a value must be a quoted text");
        if (!Replace(text, &value))
            return false;
        node->hasValue = true;
        if (IsWord(type, "S")) {
            node->type = REG_SZ;
            node->data = registry::StringData(value);
        } else if (IsWord(type, "D")) {
            std::string digits = Utf16ToAnsi(value);
            char* end = nullptr;
            unsigned long long number = std::strtoull(digits.c_str(), &end, 0);
            if (digits.empty() || *end || number > 0xFFFFFFFFull)
                return Fail(text, "d needs a 32-bit number");
            node->type = REG_DWORD;
            for (int i = 0; i < 4; ++i)
                node->data.push_back(static_cast<BYTE>(number >> (8 * i)));
        } else if (IsWord(type, "B")) {
            std::string hex = Utf16ToAnsi(value);
            if (hex.size() % 2)
                return Fail(text, "b needs pairs of hexadecimal digits");
            for (size_t i = 0; i < hex.size(); i += 2) {
                char* end = nullptr;
                std::string pair = hex.substr(i, 2);
                unsigned long byte = std::strtoul(pair.c_str(), &end, 16);
                if (*end || !std::isxdigit(static_cast<unsigned char>(pair[0])))
                    return Fail(text, "b needs pairs of hexadecimal digits");
                node->data.push_back(static_cast<BYTE>(byte));
            }
            node->type = REG_BINARY;
        } else {
            return Fail(type, "\"" + type.text + "\" is not a value type (s, d or b)");
        }
        return true;
    }

    bool KeyList(std::vector<Node>* nodes) {
        for (;;) {
            if (m_pos >= m_tokens.size())
                return FailAtEnd("\"}\" is missing");
            if (Peek("}")) {
                ++m_pos;
                return true;
            }
            Node node;
            if (!Item(&node))
                return false;
            nodes->push_back(std::move(node));
        }
    }

    bool Item(Node* node) {
        for (;;) {
            const Token& token = m_tokens[m_pos];
            if (IsWord(token, "FORCEREMOVE"))
                node->forceRemove = true;
            else if (IsWord(token, "NOREMOVE"))
                node->noRemove = true;
            else if (IsWord(token, "DELETE"))
                node->deleteKey = true;
            else
                break;
            if (++m_pos >= m_tokens.size())
                return FailAtEnd("a key name is missing");
        }
        bool modified = node->forceRemove || node->noRemove || node->deleteKey;
        if (IsWord(m_tokens[m_pos], "VAL") && !modified) {
            ++m_pos;
            node->isValue = true;
            return Name(&node->name) && Expect("=") && Value(node);
        }
        if (!Name(&node->name))
            return false;
        if (Peek("=")) {
            ++m_pos;
            if (!Value(node))
                return false;
        }
        if (Peek("{")) {
            ++m_pos;
            return KeyList(&node->children);
        }
        return true;
    }

    const std::map<std::string, std::string>& m_replacements;
    std::string* m_error;
    std::vector<Token> m_tokens;
    size_t m_pos = 0;
};

HRESULT FromStatus(LONG status) {
    if (status == ERROR_NOT_ENOUGH_MEMORY)
        return E_OUTOFMEMORY;
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

LONG DeleteIfPresent(HKEY parent, const std::u16string& name) {
    LONG status = RegDeleteTreeW(parent, name.c_str());
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

LONG RegisterNode(HKEY parent, const Node& node) {
    if (node.isValue)
        return RegSetValueExW(parent, node.name.c_str(), 0, node.type, node.data.data(),
                              static_cast<DWORD>(node.data.size()));
    if (node.deleteKey)
        return DeleteIfPresent(parent, node.name);
    if (node.forceRemove) {
        LONG status = DeleteIfPresent(parent, node.name);
        if (status != ERROR_SUCCESS)
            return status;
    }
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(parent, node.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    if (node.hasValue)
        status = RegSetValueExW(key, nullptr, 0, node.type, node.data.data(),
                                static_cast<DWORD>(node.data.size()));
    for (size_t i = 0; status == ERROR_SUCCESS && i < node.children.size(); ++i)
        status = RegisterNode(key, node.children[i]);
    RegCloseKey(key);
    return status;
}

bool HasSubkeys(HKEY key) {
    WCHAR name[256];
    DWORD length = 256;
    return RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_NO_MORE_ITEMS;
}

LONG UnregisterNode(HKEY parent, const Node& node) {
    if (node.isValue) {
        LONG status = RegDeleteValueW(parent, node.name.c_str());
        return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
    }
    if (node.deleteKey)
        return ERROR_SUCCESS;
    if (node.forceRemove)
        return DeleteIfPresent(parent, node.name);
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(parent, node.name.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (status == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS)
        return status;
    for (size_t i = 0; status == ERROR_SUCCESS && i < node.children.size(); ++i)
        status = UnregisterNode(key, node.children[i]);
    bool keep = node.noRemove || HasSubkeys(key);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || keep)
        return status;
    return RegDeleteKeyW(parent, node.name.c_str());
}

}  // namespace

HRESULT Registrar::AddReplacement(std::string_view name, std::string_view value) {
    return ComEntry([&] {
        std::string key = Upper(name);
        std::string text(value);
        m_replacements[std::move(key)] = std::move(text);
        return S_OK;
    });
}

HRESULT Registrar::Register(std::string_view script) {
    return ComEntry([&] { return Run(script, true); });
}

HRESULT Registrar::Unregister(std::string_view script) {
    return ComEntry([&] { return Run(script, false); });
}

HRESULT Registrar::Run(std::string_view script, bool doRegister) {
    m_lastError.clear();
    std::vector<RootBlock> roots;
    Parser parser(m_replacements, &m_lastError);
    if (!parser.Run(script, &roots))
        return DISP_E_EXCEPTION;

    RegistryTransaction transaction;
    LONG status = transaction.Status();
    for (size_t r = 0; status == ERROR_SUCCESS && r < roots.size(); ++r) {
        for (size_t k = 0; status == ERROR_SUCCESS && k < roots[r].keys.size(); ++k)
            status = doRegister ? RegisterNode(roots[r].root, roots[r].keys[k])
                                : UnregisterNode(roots[r].root, roots[r].keys[k]);
    }
    if (status == ERROR_SUCCESS)
        status = transaction.Commit();
    if (status != ERROR_SUCCESS)
        m_lastError = std::string("registry: ") + ErrorText(status);
    return FromStatus(status);
}

}  // namespace winport
