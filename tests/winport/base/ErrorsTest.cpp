#include "winport/base/errors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

using winport::ErrorText;
using winport::Win32ErrorFromErrno;
using winport::WsaErrorFromErrno;

TEST(ErrorTablesTest, SocketErrnoMapsToWindowsSocketsCodes) {
    EXPECT_EQ(WsaErrorFromErrno(ENETUNREACH), 10051);
    EXPECT_EQ(WsaErrorFromErrno(EHOSTUNREACH), WSAEHOSTUNREACH);
    EXPECT_EQ(WsaErrorFromErrno(ECONNREFUSED), WSAECONNREFUSED);
    EXPECT_EQ(WsaErrorFromErrno(EAGAIN), WSAEWOULDBLOCK);
    EXPECT_EQ(WsaErrorFromErrno(EMSGSIZE), WSAEMSGSIZE);
    EXPECT_EQ(WsaErrorFromErrno(EADDRINUSE), WSAEADDRINUSE);
    EXPECT_EQ(WsaErrorFromErrno(EACCES), WSAEACCES);
    EXPECT_EQ(WsaErrorFromErrno(EBADF), WSAENOTSOCK);  // a closed socket is no socket
    EXPECT_EQ(WsaErrorFromErrno(EDOM), WSAEINVAL);     // unknown
}

TEST(ErrorTablesTest, FileErrnoMapsToWin32Codes) {
    EXPECT_EQ(Win32ErrorFromErrno(0), ERROR_SUCCESS);
    EXPECT_EQ(Win32ErrorFromErrno(ENOENT), 2u);
    EXPECT_EQ(Win32ErrorFromErrno(ENOTDIR), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Win32ErrorFromErrno(EACCES), 5u);
    EXPECT_EQ(Win32ErrorFromErrno(EPERM), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Win32ErrorFromErrno(EEXIST), ERROR_FILE_EXISTS);
    EXPECT_EQ(Win32ErrorFromErrno(ENOSPC), ERROR_DISK_FULL);
    EXPECT_EQ(Win32ErrorFromErrno(ENAMETOOLONG), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(Win32ErrorFromErrno(EDOM), ERROR_INVALID_FUNCTION);  // unknown
}

TEST(ErrorTablesTest, WrappedWin32CodesReadAsTheirCode) {
    EXPECT_EQ(static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), 0x80070002u);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), E_ACCESSDENIED);

    EXPECT_STREQ(ErrorText(static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))),
                 "The system cannot find the file specified.");
    EXPECT_STREQ(ErrorText(static_cast<uint32_t>(E_ACCESSDENIED)), ErrorText(ERROR_ACCESS_DENIED));
    EXPECT_STREQ(ErrorText(static_cast<uint32_t>(HRESULT_FROM_WIN32(WSAENETUNREACH))),
                 "A socket operation was attempted to an unreachable network.");
    EXPECT_STREQ(ErrorText(static_cast<uint32_t>(E_FAIL)), "Unspecified error.");
    EXPECT_STREQ(ErrorText(0x80071234u), "Unknown error.");
    EXPECT_STREQ(ErrorText(0xDEADBEEFu), "Unknown error.");
}

}  // namespace
