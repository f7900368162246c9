#include "winport/registry/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "winport/com/ComEntry.h"
#include "winport/registry/RegistryTree.h"

namespace winport {

namespace {

using registry::Key;
using registry::Root;
using registry::Tree;

constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
// Far beyond any registration; a larger file is taken for something else.
constexpr size_t kMaxFileSize = 64 * 1024 * 1024;

struct OpenKey {
    Root root;
    std::vector<std::u16string> path;
};

// Everything the registry keeps in the process, behind one lock.
struct State {
    std::recursive_mutex mutex;

    // The file as last read, reused while its text stays the same: a replaced
    // file may come back with the same inode, size and time stamp.
    std::string cachedPath;
    std::string cachedText;
    bool cacheValid = false;
    Tree cachedTree;

    // The running transaction, if any.
    int depth = 0;
    std::unique_ptr<Tree> txTree;
    std::string txPath;
    int txLockFd = -1;
    bool txDirty = false;

    std::map<ULONG_PTR, OpenKey> handles;
    ULONG_PTR nextHandle = 0x1000;
};

State& TheState() {
    static State* state = new State();  // outlives every static destructor that might close a key
    return *state;
}

// ------------------------------------------------------------------ the file

LONG ErrorFromErrno(int err) {
    return err == EACCES || err == EPERM || err == EROFS ? ERROR_ACCESS_DENIED : ERROR_REGISTRY_IO_FAILED;
}

bool ReadWholeFile(int fd, std::string* text) {
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text->append(buffer, static_cast<size_t>(n));
        if (text->size() > kMaxFileSize) {
            errno = EFBIG;
            return false;
        }
    }
}

// Reads the file at path; a missing file reads as empty.
LONG ReadFileText(const std::string& path, std::string* text, std::string* message) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return ERROR_SUCCESS;
        if (message)
            *message = path + ": " + std::strerror(errno);
        return ErrorFromErrno(errno);
    }
    bool ok = ReadWholeFile(fd, text);
    int err = errno;
    close(fd);
    if (ok)
        return ERROR_SUCCESS;
    if (message)
        *message = path + ": " + (err == EFBIG ? "the file is too large for a registry" : std::strerror(err));
    return err == EFBIG ? ERROR_BADDB : ErrorFromErrno(err);
}

LONG ParseText(const std::string& path, const std::string& text, Tree* tree, std::string* message) {
    std::string error;
    if (registry::Parse(text, tree, &error))
        return ERROR_SUCCESS;
    if (message)
        *message = path + ": " + error;
    return ERROR_BADDB;
}

LONG LoadFile(const std::string& path, Tree* tree, std::string* message) {
    std::string text;
    LONG status = ReadFileText(path, &text, message);
    return status == ERROR_SUCCESS ? ParseText(path, text, tree, message) : status;
}

std::string ParentDirectory(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// mkdir -p of the folder that holds the file; the folders it makes are the
// user's alone, as the registry names the libraries that hosts load.
bool MakeParentDirectories(const std::string& path) {
    std::string dir = ParentDirectory(path);
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// The file that writes replace: the registry file, or the target of the
// link that stands in its place (a dotfiles setup), followed once.
std::string WrittenPath(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size())
        return path;
    target.resize(static_cast<size_t>(n));
    return target.front() == '/' ? target : ParentDirectory(path) + "/" + target;
}

// A text that the reader would refuse is never written: the registry would
// be dead until repaired by hand.
LONG CheckReadable(const std::string& text) {
    Tree tree;
    std::string error;
    return text.size() <= kMaxFileSize && registry::Parse(text, &tree, &error) ? ERROR_SUCCESS
                                                                               : ERROR_REGISTRY_IO_FAILED;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A fresh file of its own beside the target, which nobody else can have
// prepared, with the mode and owner of the file it replaces.
int CreateTemporary(const std::string& target, std::string* tmp) {
    std::string name = target.substr(target.rfind('/') + 1);
    *tmp = ParentDirectory(target) + "/." + name + ".XXXXXX";
    int fd = mkostemp(tmp->data(), O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (stat(target.c_str(), &st) == 0) {
        if (st.st_uid != geteuid() || st.st_gid != getegid())
            (void)!fchown(fd, st.st_uid, st.st_gid);  // only root may; otherwise the writer owns it
        fchmod(fd, st.st_mode & 07777);
    }
    return fd;
}

// Replaces the file as a whole: readers see the old file or the new one,
// and a crash leaves one of them in place.
LONG ReplaceFile(const std::string& path, const Tree& tree) {
    std::string text = registry::Format(tree);
    LONG status = CheckReadable(text);
    if (status != ERROR_SUCCESS)
        return status;
    std::string target = WrittenPath(path);
    // Everything allocated before the file changes: once it is replaced, the
    // call has succeeded.
    const std::string directory = ParentDirectory(target);
    std::string tmp;
    int fd = CreateTemporary(target, &tmp);
    if (fd < 0)
        return ErrorFromErrno(errno);
    bool ok = WriteAll(fd, text) && fsync(fd) == 0;
    int err = errno;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), target.c_str()) != 0) {
        err = ok ? errno : err;
        unlink(tmp.c_str());
        return ErrorFromErrno(err);
    }
    int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return ERROR_SUCCESS;
}

// The writers' lock: a companion file, since the registry file itself is
// replaced and a lock on it would be left behind on the old file.
LONG LockFile(const std::string& path, int* fd) {
    std::string target = WrittenPath(path);
    if (!MakeParentDirectories(target))
        return ErrorFromErrno(errno);
    *fd = open((target + ".lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (*fd < 0)
        return ErrorFromErrno(errno);
    while (flock(*fd, LOCK_EX) != 0) {
        if (errno == EINTR)
            continue;
        int err = errno;
        close(*fd);
        *fd = -1;
        return ErrorFromErrno(err);
    }
    return ERROR_SUCCESS;
}

void UnlockFile(int fd) {
    if (fd >= 0)
        close(fd);  // closing drops the lock
}

// ------------------------------------------------------------------ reading and changing

// The tree that reads see: the transaction's, or the file's.
LONG CurrentTree(State& state, const Tree** tree) {
    if (state.depth > 0) {
        if (!state.txTree)
            return ERROR_REGISTRY_IO_FAILED;
        *tree = state.txTree.get();
        return ERROR_SUCCESS;
    }
    std::string path = RegistryPath();
    if (path.empty())
        return ERROR_PATH_NOT_FOUND;
    std::string text;
    LONG status = ReadFileText(path, &text, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    if (!state.cacheValid || state.cachedPath != path || state.cachedText != text) {
        state.cacheValid = false;
        state.cachedTree = Tree{};
        status = ParseText(path, text, &state.cachedTree, nullptr);
        if (status != ERROR_SUCCESS)
            return status;
        state.cachedPath = path;
        state.cachedText = std::move(text);
        state.cacheValid = true;
    }
    *tree = &state.cachedTree;
    return ERROR_SUCCESS;
}

// Runs change on the tree that writes go to; outside a transaction that is
// one locked read, change and replacement of the file. A change that returns
// an error or reports that it changed nothing leaves the file alone.
using Change = std::function<LONG(Tree&, bool* changed)>;

LONG ModifyTree(State& state, const Change& change) {
    if (state.depth > 0) {
        if (!state.txTree)
            return ERROR_REGISTRY_IO_FAILED;
        bool changed = false;
        LONG status = change(*state.txTree, &changed);
        state.txDirty = state.txDirty || changed;
        return status;
    }
    std::string path = RegistryPath();
    if (path.empty())
        return ERROR_PATH_NOT_FOUND;
    int lockFd = -1;
    LONG status = LockFile(path, &lockFd);
    if (status != ERROR_SUCCESS)
        return status;
    // Unlocked however this ends, out of memory included.
    std::unique_ptr<int, void (*)(int*)> unlock(&lockFd, [](int* fd) { UnlockFile(*fd); });
    Tree tree;
    status = LoadFile(path, &tree, nullptr);
    bool changed = false;
    if (status == ERROR_SUCCESS)
        status = change(tree, &changed);
    if (status == ERROR_SUCCESS && changed) {
        state.cacheValid = false;
        status = ReplaceFile(path, tree);
    }
    return status;
}

// ------------------------------------------------------------------ keys and names

bool HasLineBreak(std::u16string_view s) {
    return s.find_first_of(u"\r\n") != std::u16string_view::npos;
}

LONG SplitSubKey(LPCWSTR subKey, std::vector<std::u16string>* names) {
    if (subKey == nullptr || subKey[0] == 0)
        return ERROR_SUCCESS;
    std::u16string_view text(subKey);
    if (text.front() == u'\\')
        return ERROR_BAD_PATHNAME;
    if (text.back() == u'\\')
        text.remove_suffix(1);  // as Windows allows
    size_t start = 0;
    for (;;) {
        size_t slash = text.find(u'\\', start);
        std::u16string_view name =
            text.substr(start, slash == std::u16string_view::npos ? slash : slash - start);
        if (name.empty())
            return ERROR_BAD_PATHNAME;
        if (name.size() > kMaxKeyNameLength || HasLineBreak(name) || !registry::IsWellFormedUtf16(name))
            return ERROR_INVALID_PARAMETER;
        if (names->size() == registry::kMaxKeyDepth)
            return ERROR_FILENAME_EXCED_RANGE;
        names->emplace_back(name);
        if (slash == std::u16string_view::npos)
            return ERROR_SUCCESS;
        start = slash + 1;
    }
}

LONG ResolveHandle(State& state, HKEY hKey, OpenKey* key) {
    auto value = reinterpret_cast<ULONG_PTR>(hKey);
    if (value >= 0x80000000u && value <= 0x80000005u && value != 0x80000004u) {
        static constexpr Root kRoots[] = {registry::kClassesRoot,  registry::kCurrentUser,
                                          registry::kLocalMachine, registry::kUsers,
                                          registry::kUsers,        registry::kCurrentConfig};
        *key = OpenKey{kRoots[value - 0x80000000u], {}};
        return ERROR_SUCCESS;
    }
    auto it = state.handles.find(value);
    if (it == state.handles.end())
        return ERROR_INVALID_HANDLE;
    *key = it->second;
    return ERROR_SUCCESS;
}

// The key of a handle joined with a relative path.
LONG ResolvePath(State& state, HKEY hKey, LPCWSTR subKey, OpenKey* key) {
    LONG status = ResolveHandle(state, hKey, key);
    if (status != ERROR_SUCCESS)
        return status;
    return SplitSubKey(subKey, &key->path);
}

HKEY NewHandle(State& state, OpenKey key) {
    ULONG_PTR value = state.nextHandle;
    state.nextHandle += 4;
    state.handles.emplace(value, std::move(key));
    return reinterpret_cast<HKEY>(value);
}

// The key a handle names, which may have been deleted since it was opened.
LONG FindOpenKey(const Tree& tree, const OpenKey& key, Key** found) {
    *found = tree.Find(key.root, key.path);
    return *found ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

// The key behind an open handle in the registry as it is now, for reading.
LONG ReadOpenKey(State& state, HKEY hKey, Key** found) {
    OpenKey key;
    LONG status = ResolveHandle(state, hKey, &key);
    if (status != ERROR_SUCCESS)
        return status;
    const Tree* tree = nullptr;
    status = CurrentTree(state, &tree);
    if (status != ERROR_SUCCESS)
        return status;
    return FindOpenKey(*tree, key, found);
}

std::u16string ValueName(LPCWSTR name) {
    return name ? std::u16string(name) : std::u16string();
}

LONG CheckValueName(const std::u16string& name) {
    return name.size() > kMaxValueNameLength || HasLineBreak(name) || !registry::IsWellFormedUtf16(name)
               ? ERROR_INVALID_PARAMETER
               : ERROR_SUCCESS;
}

LONG CheckValueData(DWORD type, const BYTE* data, DWORD size) {
    if (data == nullptr && size != 0)
        return ERROR_INVALID_PARAMETER;
    if (type == REG_DWORD && size != 4)
        return ERROR_INVALID_PARAMETER;
    if (type == REG_QWORD && size != 8)
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

}  // namespace

// ------------------------------------------------------------------ paths

std::string RegistryPath() {
    const char* explicitPath = std::getenv("OSKAN_REGISTRY");
    if (explicitPath && *explicitPath)
        return explicitPath;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config == '/')
        return std::string(config) + "/oskan/registry.reg";
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.config/oskan/registry.reg";
    return {};
}

bool CheckRegistry(std::string* message) {
    std::string path = RegistryPath();
    if (path.empty()) {
        if (message)
            *message = "no registry file: neither OSKAN_REGISTRY nor HOME is set";
        return false;
    }
    Tree tree;
    std::string detail;
    if (LoadFile(path, &tree, &detail) != ERROR_SUCCESS) {
        if (message)
            *message = detail;
        return false;
    }
    return true;
}

// ------------------------------------------------------------------ transactions

namespace {

// The outermost transaction's start: the file locked and read.
LONG BeginTransaction(State& state) {
    state.txDirty = false;
    state.txPath = RegistryPath();
    if (state.txPath.empty())
        return ERROR_PATH_NOT_FOUND;
    LONG status = LockFile(state.txPath, &state.txLockFd);
    if (status != ERROR_SUCCESS)
        return status;
    auto tree = std::make_unique<Tree>();
    status = LoadFile(state.txPath, tree.get(), nullptr);
    if (status == ERROR_SUCCESS)
        state.txTree = std::move(tree);
    return status;
}

}  // namespace

RegistryTransaction::RegistryTransaction() : m_status(ERROR_SUCCESS) {
    State& state = TheState();
    state.mutex.lock();
    if (state.depth++ > 0) {
        m_status = state.txTree ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
        return;
    }
    m_outermost = true;
    // Out of memory fails the transaction; the destructor still unlocks.
    m_status = Win32Entry([&] { return BeginTransaction(state); });
}

LONG RegistryTransaction::Commit() {
    if (m_ended)
        return ERROR_SUCCESS;
    m_ended = true;
    State& state = TheState();
    LONG status = m_status;
    if (m_outermost && status == ERROR_SUCCESS && state.txDirty) {
        state.cacheValid = false;
        state.txDirty = false;
        status = Win32Entry([&] { return ReplaceFile(state.txPath, *state.txTree); });
    }
    return status;
}

RegistryTransaction::~RegistryTransaction() {
    State& state = TheState();
    if (m_outermost) {
        state.txTree.reset();
        state.txDirty = false;
        UnlockFile(state.txLockFd);
        state.txLockFd = -1;
    }
    --state.depth;
    state.mutex.unlock();
}

}  // namespace winport

// ------------------------------------------------------------------ the Windows functions

using winport::OpenKey;
using winport::TheState;
namespace reg = winport::registry;

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM, const void*, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
    return winport::Win32Entry([&]() -> LONG {
        if (phkResult == nullptr)
            return ERROR_INVALID_PARAMETER;
        auto& state = TheState();
        std::lock_guard lock(state.mutex);
        OpenKey base;
        LONG status = winport::ResolveHandle(state, hKey, &base);
        if (status != ERROR_SUCCESS)
            return status;
        OpenKey key = base;
        status = winport::SplitSubKey(lpSubKey, &key.path);
        if (status != ERROR_SUCCESS)
            return status;

        const reg::Tree* current = nullptr;
        status = winport::CurrentTree(state, &current);
        if (status != ERROR_SUCCESS)
            return status;
        bool exists = current->Find(key.root, key.path) != nullptr;
        if (!exists) {
            status = winport::ModifyTree(state, [&](reg::Tree& tree, bool* changed) {
                reg::Key* k = nullptr;
                LONG s = winport::FindOpenKey(tree, base, &k);
                if (s != ERROR_SUCCESS)
                    return s;
                for (size_t i = base.path.size(); i < key.path.size(); ++i)
                    k = k->Ensure(key.path[i]);
                *changed = true;
                return LONG{ERROR_SUCCESS};
            });
            if (status != ERROR_SUCCESS)
                return status;
        }
        if (lpdwDisposition)
            *lpdwDisposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
        *phkResult = winport::NewHandle(state, std::move(key));
        return ERROR_SUCCESS;
    });
}

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    return winport::Win32Entry([&]() -> LONG {
        if (phkResult == nullptr)
            return ERROR_INVALID_PARAMETER;
        auto& state = TheState();
        std::lock_guard lock(state.mutex);
        OpenKey key;
        LONG status = winport::ResolvePath(state, hKey, lpSubKey, &key);
        if (status != ERROR_SUCCESS)
            return status;
        const reg::Tree* tree = nullptr;
        status = winport::CurrentTree(state, &tree);
        if (status != ERROR_SUCCESS)
            return status;
        if (!tree->Find(key.root, key.path))
            return ERROR_FILE_NOT_FOUND;
        *phkResult = winport::NewHandle(state, std::move(key));
        return ERROR_SUCCESS;
    });
}

LONG RegCloseKey(HKEY hKey) {
    return winport::Win32Entry([&]() -> LONG {
        auto& state = TheState();
        std::lock_guard lock(state.mutex);
        auto value = reinterpret_cast<ULONG_PTR>(hKey);
        if (value >= 0x80000000u && value <= 0x80000005u)
            return ERROR_SUCCESS;
        return state.handles.erase(value) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    return winport::Win32Entry([&]() -> LONG {
        std::u16string name = winport::ValueName(lpValueName);
        LONG status = winport::CheckValueName(name);
        if (status == ERROR_SUCCESS)
            status = winport::CheckValueData(dwType, lpData, cbData);
        if (status != ERROR_SUCCESS)
            return status;
        auto& state = TheState();
        std::lock_guard lock(state.mutex);
        OpenKey key;
        status = winport::ResolveHandle(state, hKey, &key);
        if (status != ERROR_SUCCESS)
            return status;
        reg::Value value{dwType, std::vector<BYTE>(lpData, lpData + cbData)};
        return winport::ModifyTree(state, [&](reg::Tree& tree, bool* changed) {
            reg::Key* k = nullptr;
            LONG s = winport::FindOpenKey(tree, key, &k);
            if (s != ERROR_SUCCESS)
                return s;
            auto it = k->values.find(name);
            if (it != k->values.end() && it->second.type == value.type && it->second.data == value.data)
                return LONG{ERROR_SUCCESS};
            if (it != k->values.end())
                it->second = value;
            else
                k->values.emplace(name, value);
            *changed = true;
            return LONG{ERROR_SUCCESS};
        });
    });
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    return winport::Win32Entry([&]() -> LONG {
        if (lpData != nullptr && lpcbData == nullptr)
            return ERROR_INVALID_PARAMETER;
        auto& state = TheState();
        std::lock_guard lock(state.mutex);
        reg::Key* k = nullptr;
        LONG status = winport::ReadOpenKey(state, hKey, &k);
        if (status != ERROR_SUCCESS)
            return status;
        auto it = k->values.find(winport::ValueName(lpValueName));
        if (it == k->values.end())
            return ERROR_FILE_NOT_FOUND;
        const reg::Value& value = it->second;
        if (lpType)
            *lpType = value.type;
        if (lpcbData == nullptr)
            return ERROR_SUCCESS;
        DWORD room = *lpcbData;
        *lpcbData = static_cast<DWORD>(value.data.size());
        if (lpData == nullptr)
            return ERROR_SUCCESS;
        if (room < value.data.size())
            return ERROR_MORE_DATA;
        if (!value.data.empty())
            std::memcpy(lpData, value.data.data(), value.data.size());
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return winport::Win32Entry([&]() -> LONG {
        auto& state = TheState();
        std::lock_guard lock(state.mutex);
        OpenKey key;
        LONG status = winport::ResolveHandle(state, hKey, &key);
        if (status != ERROR_SUCCESS)
            return status;
        std::u16string name = winport::ValueName(lpValueName);
        return winport::ModifyTree(state, [&](reg::Tree& tree, bool* changed) {
            reg::Key* k = nullptr;
            LONG s = winport::FindOpenKey(tree, key, &k);
            if (s != ERROR_SUCCESS)
                return s;
            *changed = k->values.erase(name) != 0;
            return *changed ? LONG{ERROR_SUCCESS} : LONG{ERROR_FILE_NOT_FOUND};
        });
    });
}

namespace {

LONG DeleteKey(HKEY hKey, LPCWSTR lpSubKey, bool wholeTree) {
    return winport::Win32Entry([&]() -> LONG {
        auto& state = TheState();
        std::lock_guard lock(state.mutex);
        OpenKey key;
        LONG status = winport::ResolvePath(state, hKey, lpSubKey, &key);
        if (status != ERROR_SUCCESS)
            return status;
        bool clearOnly = key.path.empty() || (wholeTree && (lpSubKey == nullptr || lpSubKey[0] == 0));
        if (!wholeTree && clearOnly)
            return ERROR_INVALID_PARAMETER;  // a root or the handle's own key
        return winport::ModifyTree(state, [&](reg::Tree& tree, bool* changed) {
            reg::Key* k = tree.Find(key.root, key.path);
            if (!k)
                return LONG{ERROR_FILE_NOT_FOUND};
            if (clearOnly) {
                *changed = !k->values.empty() || !k->subkeys.empty();
                k->values.clear();
                k->subkeys.clear();
                return LONG{ERROR_SUCCESS};
            }
            if (!wholeTree && !k->subkeys.empty())
                return LONG{ERROR_ACCESS_DENIED};
            std::vector<std::u16string> parentPath(key.path.begin(), key.path.end() - 1);
            tree.Find(key.root, parentPath)->subkeys.erase(key.path.back());
            *changed = true;
            return LONG{ERROR_SUCCESS};
        });
    });
}

}  // namespace

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    return DeleteKey(hKey, lpSubKey, false);
}

LONG RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    return DeleteKey(hKey, lpSubKey, true);
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR, LPDWORD,
                   void*) {
    return winport::Win32Entry([&]() -> LONG {
        if (lpName == nullptr || lpcchName == nullptr)
            return ERROR_INVALID_PARAMETER;
        auto& state = TheState();
        std::lock_guard lock(state.mutex);
        reg::Key* k = nullptr;
        LONG status = winport::ReadOpenKey(state, hKey, &k);
        if (status != ERROR_SUCCESS)
            return status;
        if (dwIndex >= k->subkeys.size())
            return ERROR_NO_MORE_ITEMS;
        auto it = k->subkeys.begin();
        std::advance(it, dwIndex);
        const std::u16string& name = it->second->name;
        if (*lpcchName <= name.size())
            return ERROR_MORE_DATA;
        std::memcpy(lpName, name.data(), name.size() * sizeof(WCHAR));
        lpName[name.size()] = 0;
        *lpcchName = static_cast<DWORD>(name.size());
        return ERROR_SUCCESS;
    });
}

namespace winport {

LONG RegReadString(HKEY hKey, const WCHAR* subKey, const WCHAR* valueName, std::u16string* value) {
    return winport::Win32Entry([&]() -> LONG {
        HKEY key = nullptr;
        LONG status = RegOpenKeyExW(hKey, subKey, 0, KEY_READ, &key);
        if (status != ERROR_SUCCESS)
            return status;
        DWORD type = 0, size = 0;
        status = RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &size);
        std::vector<BYTE> data(size);
        if (status == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ)
            status = ERROR_INVALID_DATA;
        if (status == ERROR_SUCCESS)
            status = RegQueryValueExW(key, valueName, nullptr, &type, data.data(), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS)
            return status;
        data.resize(size);
        return registry::DataString(data, value) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
    });
}

LONG RegWriteString(HKEY hKey, const WCHAR* subKey, const WCHAR* valueName, std::u16string_view value) {
    return winport::Win32Entry([&]() -> LONG {
        HKEY key = nullptr;
        LONG status = RegCreateKeyExW(hKey, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                                      &key, nullptr);
        if (status != ERROR_SUCCESS)
            return status;
        std::vector<BYTE> data = registry::StringData(value);
        status = RegSetValueExW(key, valueName, 0, REG_SZ, data.data(), static_cast<DWORD>(data.size()));
        RegCloseKey(key);
        return status;
    });
}

}  // namespace winport
