// Diagnostic codes and their messages; see diag.h.
#include "lib/diag.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>

namespace {

struct tDiagName {
    tDiag code;
    const char *message;
};

// Codes -160..-299 with a fixed message. The indirect codes (E_SEMAPHORE,
// E_SOCKET, E_ERRNO) are handled in DiagText.
const tDiagName kDiagNames[] = {
    {E_OK, "Ok"},
    {E_SQL_CORRUPTED, "SQL file corrupted"},
    {E_SQL_FAILED, "SQL request failed"},
    {E_NOT_IMPLEMENTED, "Not implemented"},
    {E_NO_IDLE_CONNECTION, "No idle connection to server is available"},
    {E_TASK_SCHEDULING_FAILED, "No connection, task scheduling failed"},
    {E_ALREADY_CONNECTED, "Already got another connection"},
    {E_NO_CONNECTION, "Connection not obtained"},
    {E_ZOMBIE, "Article is a zombie"},
    {E_NO_REACHABLE_SERVER, "No server having article is reachable"},
    {E_DELETED_LOCALLY, "Article deleted locally"},
    {E_BAD_GROUP_NAME, "Group name is invalid"},
    {E_GROUP_UNWANTED, "Group is unwanted"},
    {E_TREE_DUPLICATE, "Tree node is duplicate"},
    {E_TREE_NOT_FOUND, "Tree node not found"},
    {E_ARTICLE_DELETED, "Article has been deleted"},
    {E_ARTICLE_EOFS, "Too many EOFs in ARTICLE"},
    {E_ARTICLE_REFUSED, "ARTICLE refused"},
    {E_RECONNECT_DISABLED, "Reconnect disabled for this connection"},
    {E_XHDR_LINES_FAILED, "XHDR LINES failed"},
    {E_GROUP_EOFS, "Too many EOFs in GROUP"},
    {E_GROUP_TEMP, "Group temporarily inaccessible"},
    {E_GROUP_REFUSED, "GROUP refused"},
    {E_NO_SUCH_GROUP, "Group does not exist"},
    {E_LISTGROUP_NEGATIVE, "All numbers negative during LISTGROUP"},
    {E_LISTGROUP_ERROR, "Error during LISTGROUP"},
    {E_LISTGROUP_EOFS, "Too many EOFs in LISTGROUP"},
    {E_XOVER_EMULATION, "Error during XOVER emulation"},
    {E_XOVER_REFUSED, "XOVER refused"},
    {E_XOVER_FAILED, "XOVER failed"},
    {E_XOVER_EOFS, "Too many EOFs in XOVER, XHDR or XPAT"},
    {E_NO_ACTIVE_GROUPS, "No active groups"},
    {E_FAILURE_TOO_RECENT, "Last connection failure too recent"},
    {E_ALL_ARTICLES_REFUSED, "Server refused all articles"},
    {E_TOO_FEW_ARTICLES, "Too few articles"},
    {E_POST_EOFS, "Too many EOFs in POST or IHAVE"},
    {E_LIST_TIMEOUTS, "Too many timeouts/EOF on LIST"},
    {E_XGTITLE_TIMEOUTS, "Too many timeouts/EOF on XGTITLE"},
    {E_LIST_ACTIVE_TIMEOUTS, "Too many timeouts/EOF on LIST ACTIVE"},
    {E_LIST_REFUSED_TEMP, "LIST refused temporarily"},
    {E_NO_INTERESTING_GROUPS, "No interesting groups"},
    {E_NO_GROUPS, "No groups"},
    {E_LIST_REFUSED, "LIST refused"},
    {E_BAD_AUTH, "Bad authentication"},
    {E_SERVER_MAINTAINED, "Server is being maintained"},
    {E_TOO_MANY_CONNECTIONS, "Too many connections to server attempted"},
    {E_SERVER_OVERLOADED, "Server overloaded"},
    {E_NNTP_REFUSED, "NNTP connect refused"},
    {E_CONNECT_EOFS, "Too many EOFs on connect"},
    {E_TCP_REFUSED, "TCP connect refused"},
    {E_HOST_UNREACHABLE, "Host unreachable"},
    {E_BAD_PROXY_ID, "Server references an invalid proxy id"},
    {E_HOST_NOT_FOUND, "Host not found"},
    {E_STILL_RUNNING, "Still running"},
    {E_NONE, "None"},
    {E_MSGID_MISMATCH, "Message-ID in dataset does not match Message-ID in index"},
    {E_FILE_EMPTY, "File is empty"},
    {E_NUMBERED_FILE_ORDER, "Last number in numbered file smaller than first one"},
    {E_NUMBER_NOT_IN_FILE, "Number not found in numbered file"},
    {E_NUMBERED_FILE_CORRUPTED, "Numbered file corrupted"},
    {E_ARTICLE_NOT_FOUND_2, "Article not found"},
    {E_BAD_ARTICLE_FLAG, "Invalid article flag"},
    {E_NO_TAB_AFTER_SERVREFS, "No tab after server references"},
    {E_BAD_SERVREFS, "Corrupted server references"},
    {E_FILTERED_OUT, "Article filtered out"},
    {E_NO_EOL, "Missing end-of-line character"},
    {E_LINES_TOO_LARGE, "Lines too large"},
    {E_LINES_NOT_DIGITS, "Lines contain non-digits"},
    {E_NO_LINES, "No Lines"},
    {E_NO_TAB_AFTER_BYTES, "No tab after Bytes"},
    {E_BYTES_TOO_LARGE, "Bytes too large"},
    {E_BYTES_NOT_DIGITS, "Bytes contain non-digits"},
    {E_NO_BYTES, "No Bytes"},
    {E_NO_TAB_AFTER_REFERENCES, "No tab after References"},
    {E_NO_REFERENCES, "No References (truncation)"},
    {E_NO_TAB_AFTER_MSGID, "No tab after Message-ID"},
    {E_MSGID_NO_END, "Message-ID lacks ending bracket"},
    {E_MSGID_NO_START, "Message-ID lacks starting bracket"},
    {E_NO_MSGID, "No Message-ID"},
    {E_NO_TAB_AFTER_DATE, "No tab after Date"},
    {E_DATE_TOO_OLD, "Date too old"},
    {E_NO_DATE, "No Date"},
    {E_NO_TAB_AFTER_FROM, "No tab after From"},
    {E_NO_FROM, "No From"},
    {E_NO_TAB_AFTER_SUBJECT, "No tab after subject"},
    {E_NO_SUBJECT, "No subject"},
    {E_NO_TAB_AFTER_NUMBER, "No tab behind article number"},
    {E_NUMBER_OUT_OF_RANGE, "Number not in expected range"},
    {E_NUMBER_NOT_GREATER, "Number not greater than previous"},
    {E_TENFOLD_LEAP, "Over tenfold leap in article numbers"},
    {E_NEGATIVE_NUMBER, "Article number is negative"},
    {E_BAD_ARTICLE_NUMBER, "Missing or bad article number"},
    {E_INDEX_SIZE, "Cannot obtain size of index"},
    {E_NO_INDEX, "Index does not exist"},
    {E_INDEX_NOT_LOADED, "Index cannot be loaded"},
    {E_NULL_GROUP_NAME, "Group name cannot be null"},
    {E_NOT_IN_NEWSRC, "No such group in newsrc"},
    {E_NEWSRC_NO_GROUP_NAME, "Missing group name in newsrc file"},
    {E_POPULAR_CORRUPTED, "Corruption in the popular groups file"},
    {E_BAD_INTERVAL, "Incorrect interval specification"},
    {E_NO_MORE_PROXIES, "No more proxies in group"},
    {E_NO_SUCH_PROXY_CHAIN, "No such proxy chain"},
    {E_SERVERS_INI_SAVE, "Could not save the etc/servers.ini file"},
    {E_SERVERS_INI_ERROR, "Error in etc/servers.ini file"},
    {E_ASYNC_CORRUPTED, "Async files corrupted"},
    {E_ASYNC_SCHEDULE, "Could not schedule an async task"},
    {E_CLIENT_DISCONNECTED, "Client has disconnected"},
    {E_CANNOT_CREATE_SERVER, "Cannot create a server on port"},
    {E_UNAUTHORIZED_CLIENT, "Client connection is unauthorized"},
    {E_NO_SUCH_SERVER_NAME, "No server name contains string"},
    {E_AMBIGUOUS_SERVER, "Ambiguous server name substring"},
    {E_MAIN_SYNC_FAILED, "Sync with main server failed"},
    {E_LOST_KEEP_ALIVE, "Lost keep-alive server"},
    {E_NO_SUCH_SERVER_NUMBER, "Non-existing server number"},
    {E_NO_OPEN_CONNECTION, "No available open connection to server"},
    {E_NUMBER_NOT_ABOVE_LAST, "Article number not greater than last"},
    {E_ARTICLE_NOT_FOUND, "Article not found"},
    {E_MEMORY_CORRUPTED, "Memory corrupted"},
    {E_OUT_OF_MEMORY, "Out of memory"},
    {E_NO_LONG_NAME, "Host has no long name"},
    {E_CLOSED_BY_PEER, "Connection closed by peer"},
    {E_CANNOT_REPLACE_FILE, "Could not replace file"},
    {E_FILE_SET_INCOHERENT, "File set is incoherent"},
    {E_UNEXPECTED_EOF, "Unexpected end of file"},
    {E_DISK_WRITE, "Disk write error"},
    {E_FILE_UNEXPECTED, "File unexpectedly exists"},
    {E_FILE_MISSING, "File is missing"},
    {E_FILE_EXISTS, "File already exists"},
    {E_PATH_TOO_LONG, "Pathname too long"},
    {E_CANNOT_OPEN_FILE, "Cannot find or open file"},
    {E_CANNOT_CREATE_DIR, "Cannot create directory"},
    {E_OUT_OF_FILES, "Out of files"},
    {E_BUFFER_TOO_SMALL, "Internal buffer too small"},
    {E_NUMBER_CORRUPTED, "Number corrupted"},
    {E_STRING_EMPTY, "String empty"},
    {E_SHUTDOWN, "Shutdown requested"},
};

const char *const kLibErrors[] = {
    "Directory does not exist",
    "Internal buffer too small",
    "Directory is current",
    "Out of memory",
    "End of file encountered",
    "Not a Date: line",
    "Date not recognized",
    "Could not obtain size of source file",
    "Could not open target file",
    "Could not open source file",
    "Could not read from source file",
    "Could not write to target file",
    "Could not obtain final size of file",
    "File size mismatch",
    "Time-out",
    "Out of threads",
    "Thread pool temporily exhausted",
    "Task category already full",
    "Cannot cancel a running task",
    "Tasks cancellation already being awaited",
    "Task is already running",
    "Shutdown in progress",
    "Input buffer underflow",
    "Output buffer overflow",
    "Junk chars after padding",
    "Encoded data corrupted",
    "Process termination wait failed",
};

const char *const kSockErrors[] = {
    "Operation timed out",
    "Operation cancelled",
    "Buffer overflow",
    "Ping not implemented",
    "Cannot ping, no ICMP.DLL",
    "Cannot ping, IcmpCreateFile not in ICMP.DLL",
    "Cannot ping, IcmpCloseHandle not in ICMP.DLL",
    "Cannot ping, IcmpSendEcho not in ICMP.DLL",
    "Out of memory",
    "Incorrect port in URL",
    "Incorrect proxy id in URL",
    "Async connection failed",
    "Could not obtain the name of this computer",
    "Could not convert machine name into IP addresses",
    "All network connections are local-only",
    "IP address is forbidden to connect to",
};

const char *const kProxyErrors[] = {
    "No common authentication method found with proxy",
    "Proxy closed connection unexpectedly",
    "Proxy aborted connection when sending",
    "Immediate syntax error when talking to proxy",
    "Intermediate syntax error when talking to proxy",
    "Proxy asks for login name",
    "Proxy says host not found or general server failure",
    "Proxy says connection not allowed",
    "Proxy says network unreachable",
    "Proxy says host unreachable",
    "Proxy says connection refused",
    "Proxy says TTL expired",
    "Proxy says command not supported",
    "Proxy says address type not supported",
    "Proxy gives undocumented error",
    "Invalid proxy chaining attempted",
    "Invalid proxy type",
};

// Winsock names 10000..10101; null entries read "Error N" with N = code-10000.
struct tWsaName {
    int code;
    const char *name;
};

const tWsaName kWsaNames[] = {
    {10004, "EINTR"},
    {10009, "EBADF"},
    {10013, "EACCES"},
    {10014, "EFAULT"},
    {10022, "EINVAL"},
    {10024, "EMFILE"},
    {10035, "EWOULDBLOCK"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket not open"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network unreachable"},
    {10052, "Network dropped connection because of reset"},
    {10053, "Connection aborted"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Socket has been shutdown"},
    {10059, "Too many references: can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "ELOOP"},
    {10063, "ENAMETOOLONG"},
    {10064, "Host is down"},
    {10065, "Host unreachable"},
    {10066, "ENOTEMPTY"},
    {10067, "EPROCLIM"},
    {10068, "EUSERS"},
    {10069, "EDQUOT"},
    {10070, "ESTALE"},
    {10071, "EREMOTE"},
    {10091, "SYSNOTREADY"},
    {10092, "VERNOTSUPPORTED"},
    {10093, "NOTINITIALISED"},
    {10101, "EDISCON"},
};

const char *const kResolveNames[] = {
    "Name resolution ok",
    "Host not found",
    "TRY_AGAIN",
    "NO_RECOVERY/Destination host unreachable",
    "NO_DATA/NO_ADDRESS",
    "Destination port unreachable",
    "No resources",
    "Bad option specified",
    "Hardware error",
    "Packet needs to be fragmented but DF set",
    "Request timed out",
    "General failure",
    "Invalid source route specified",
    "TTL expired in transit",
    "TTL expired during reassembly",
    "IP parameter problem",
    "Source quench received",
    "Specified option is too large",
    "Destination specified is invalid",
    "General failure",
};

thread_local int tlsLastSockError = 0;
thread_local char tlsDiagBuf[48];
thread_local char tlsSockBuf[48];
thread_local char tlsStrerrorBuf[256];

const char *FixedDiagText(tDiag diag) {
    for (const tDiagName &n : kDiagNames)
        if (n.code == diag) return n.message;
    return nullptr;
}

const char *StrerrorText(int code) {
    // GNU strerror_r may return a static string or fill our buffer.
    const char *s = strerror_r(code, tlsStrerrorBuf, sizeof tlsStrerrorBuf);
    if (s != tlsStrerrorBuf) {
        snprintf(tlsStrerrorBuf, sizeof tlsStrerrorBuf, "%s", s);
    }
    char *lf = strchr(tlsStrerrorBuf, '\n');
    if (lf) *lf = '\0';
    return tlsStrerrorBuf;
}

}  // namespace

const char *DiagText(tDiag diag) {
    switch (diag) {
    case E_ERRNO:
        if (errno == 0) return "errno not set or value has been lost";
        return LibErrorText(errno);
    case E_SOCKET:
        if (tlsLastSockError == 0) return "Socket error not set or value has been lost";
        return SockErrorText(tlsLastSockError);
    case E_SEMAPHORE:
        if (tlsLastSockError == 0) return "Semaphore error not set or value has been lost";
        return SockErrorText(tlsLastSockError);
    default:
        break;
    }
    const char *text = FixedDiagText(diag);
    if (text) return text;
    snprintf(tlsDiagBuf, sizeof tlsDiagBuf, "Error %d without name", (int)diag);
    return tlsDiagBuf;
}

tDiag DiagFromText(const char *text) {
    if (!text) return E_NONE;
    for (tDiag code = -300; code <= 0; code++) {
        const char *msg = FixedDiagText(code);
        if (msg && strcmp(msg, text) == 0) return code;
    }
    return E_NONE;
}

const char *LibErrorText(int code) {
    if (code == 0) return "Ok";
    if (code >= ELIB_NO_DIRECTORY && code <= ELIB_PROCESS_WAIT) return kLibErrors[code - ELIB_NO_DIRECTORY];
    return StrerrorText(code);
}

const char *SockErrorText(int code) {
    if (code >= ESOCK_TIMEOUT && code <= ESOCK_FORBIDDEN_IP) return kSockErrors[code - ESOCK_TIMEOUT];
    if (code >= 0 && code < WSA_BASE) return StrerrorText(code);
    if (code >= WSA_BASE && code <= 10101) {
        for (const tWsaName &n : kWsaNames)
            if (n.code == code) return n.name;
        snprintf(tlsSockBuf, sizeof tlsSockBuf, "Error %d", code - WSA_BASE);
        return tlsSockBuf;
    }
    if (code >= 11000 && code <= 11019) return kResolveNames[code - 11000];
    snprintf(tlsSockBuf, sizeof tlsSockBuf, "Error %d", code);
    return tlsSockBuf;
}

const char *ProxyErrorText(int code) {
    if (code >= EPROXY_NO_AUTH_METHOD && code <= EPROXY_BAD_TYPE) return kProxyErrors[code - EPROXY_NO_AUTH_METHOD];
    return SockErrorText(code);
}

int SockLastError() { return tlsLastSockError; }

void SockSetLastError(int code) { tlsLastSockError = code; }

int SockFail(int code) {
    tlsLastSockError = code;
    return -1;
}

int SockErrorFromErrno(int err) {
    switch (err) {
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES: return WSAEACCES;
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: return WSAEMFILE;
    case ENFILE: return WSAEMFILE;
    case EWOULDBLOCK: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS: return WSAENOBUFS;
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return err;
    }
}

int SockErrorFromResolver(int eai) {
    switch (eai) {
    case 0: return 0;
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
        return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_SYSTEM: return SockErrorFromErrno(errno);
    default: return WSANO_RECOVERY;
    }
}
