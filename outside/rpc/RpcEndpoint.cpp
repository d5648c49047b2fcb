// The runtime folder, socket paths, TCP ports and endpoint locks of the transports.
// Thread rule: the functions may be called from any thread; the environment is read each time.
#include "outside/rpc/RpcEndpoint.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>

#include "outside/rpc/CRPCException.h"
#include "outside/rpc/RpcAccess.h"
#include "outside/rpc/RpcFrame.h"

namespace RPC {

namespace {

void MakeDirs(const std::string& path) {
    std::string cur;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        cur = path.substr(0, pos);
        if (cur.empty()) continue;
        if (::mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST) {
            int err = errno;
            throw CRPCException(CRPCException::ENDPOINT_FAILED, OS_WFILE, __LINE__,
                                OS::x_wstring::FromUtf8("cannot create the runtime folder " + path +
                                                        ": " + ErrnoText(err)));
        }
    }
}

std::string FileName(const CComponentID& component) {
    std::string name = component.GetIDString().ToUtf8();
    if (name.empty())
        throw CRPCException(CRPCException::BAD_PARAMETER, OS_WFILE, __LINE__,
                            L"an endpoint needs a component id; the id is empty");
    for (char& c : name)
        if (c == '/' || c == '\0') c = '_';
    return name;
}

}  // namespace

std::string RuntimeDir(bool create) {
    std::string dir;
    if (const char* env = std::getenv("ZOLTCFG_RUNTIME_DIR"); env && *env) {
        dir = env;
    } else if (::geteuid() == 0) {
        dir = "/run/zoltcfg";
    } else if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
        dir = std::string(xdg) + "/zoltcfg";
    } else {
        dir = "/tmp/zoltcfg-" + std::to_string(::geteuid());
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (create) {
        MakeDirs(dir);
        CLocalAccess().SecureFolder(dir);
    }
    return dir;
}

std::string LocalSocketPath(const CComponentID& component, const char* suffix, bool create) {
    std::string path = RuntimeDir(create) + "/" + FileName(component) + suffix;
    if (path.size() >= sizeof(sockaddr_un{}.sun_path))
        throw CRPCException(
            CRPCException::BAD_PARAMETER, OS_WFILE, __LINE__,
            OS::x_wstring::FromUtf8("socket path too long (" + std::to_string(path.size()) +
                                    " bytes): " + path));
    return path;
}

std::string TcpPortVariable(const CComponentID& component) {
    std::string name = "ZOLTCFG_RPC_PORT_";
    for (char c : component.GetIDString().ToUtf8()) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        bool ok = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        name += ok ? c : '_';
    }
    return name;
}

unsigned short TcpPort(const CComponentID& component) {
    std::string var = TcpPortVariable(component);
    if (const char* env = std::getenv(var.c_str()); env && *env) {
        char* end = nullptr;
        long v = std::strtol(env, &end, 10);
        if (*end != '\0' || v <= 0 || v > 65535)
            throw CRPCException(
                CRPCException::NO_PORT, OS_WFILE, __LINE__,
                OS::x_wstring::FromUtf8(var + "=" + env + " is not a TCP port number"));
        return static_cast<unsigned short>(v);
    }
    static const struct {
        const wchar_t* id;
        unsigned short port;
    } kDefaults[] = {
        {L"ID_ZOLT_MASTER", 47301},
        {L"ID_ZOLT_SYSTEM_WATCHER", 47302},
        {L"ID_ZOLT_REMOTE_CFG", 47303},
    };
    for (const auto& d : kDefaults)
        if (component.GetIDString() == d.id) return d.port;
    throw CRPCException(CRPCException::NO_PORT, OS_WFILE, __LINE__,
                        L"no TCP port is configured for component " + component.GetIDString() +
                            L"; set " + OS::x_wstring::FromUtf8(var));
}

CEndpointLock::CEndpointLock(const std::string& path, const OS::x_wstring& what) {
    std::string lockPath = path + ".lock";
    m_fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_fd < 0) {
        int err = errno;
        throw CRPCException(CRPCException::ENDPOINT_FAILED, OS_WFILE, __LINE__,
                            OS::x_wstring::FromUtf8("cannot open the endpoint lock " + lockPath +
                                                    ": " + ErrnoText(err)));
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        ::close(m_fd);
        m_fd = -1;
        if (err == EWOULDBLOCK)
            throw CRPCException(
                CRPCException::ENDPOINT_IN_USE, OS_WFILE, __LINE__,
                what + L" is already served by a live server at " + OS::x_wstring::FromUtf8(path));
        throw CRPCException(
            CRPCException::ENDPOINT_FAILED, OS_WFILE, __LINE__,
            OS::x_wstring::FromUtf8("cannot lock " + lockPath + ": " + ErrnoText(err)));
    }
}

CEndpointLock::~CEndpointLock() {
    if (m_fd >= 0) ::close(m_fd);
}

}  // namespace RPC
