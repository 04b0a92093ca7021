// Diagnostic codes and their messages.
//
// Every fallible operation of the multiplexer reports its outcome as a tDiag:
// E_OK (0) or a negative code between -160 and -299 naming one fixed English
// message. Beneath it lie three further code spaces: library error codes kept
// in errno (500..526 are ours, anything else is a C library errno), socket
// error codes kept in the thread's last socket error (Winsock-style numbers:
// 10000..10101, 11000..11019, our own 19001..19016) and proxy codes
// 20001..20017, also kept in the last socket error.
//
// The texts appear verbatim in logs, web pages and NNTP replies, so they are
// part of the external interface.
//
// Platform: POSIX errno values and resolver failures are mapped onto the
// Winsock numbers of the table (SockErrorFromErrno, SockErrorFromResolver) so
// that every socket failure reads the same as on the original platform.
//
// Threading: every function may be called from any thread. errno and the last
// socket error are per thread; formatted texts ("Error %d ...") live in
// thread-local storage and stay valid until the next such call on the same
// thread.
#pragma once

#include <cstdint>

typedef int32_t tDiag;

constexpr tDiag E_OK = 0;
constexpr tDiag E_SEMAPHORE = -160;
constexpr tDiag E_SQL_CORRUPTED = -161;
constexpr tDiag E_SQL_FAILED = -162;
constexpr tDiag E_NOT_IMPLEMENTED = -163;
constexpr tDiag E_NO_IDLE_CONNECTION = -164;
constexpr tDiag E_TASK_SCHEDULING_FAILED = -165;
constexpr tDiag E_ALREADY_CONNECTED = -166;
constexpr tDiag E_NO_CONNECTION = -167;
constexpr tDiag E_ZOMBIE = -168;
constexpr tDiag E_NO_REACHABLE_SERVER = -169;
constexpr tDiag E_DELETED_LOCALLY = -170;
constexpr tDiag E_BAD_GROUP_NAME = -172;
constexpr tDiag E_GROUP_UNWANTED = -173;
constexpr tDiag E_TREE_DUPLICATE = -174;
constexpr tDiag E_TREE_NOT_FOUND = -175;
constexpr tDiag E_ARTICLE_DELETED = -176;
constexpr tDiag E_ARTICLE_EOFS = -177;
constexpr tDiag E_ARTICLE_REFUSED = -178;
constexpr tDiag E_RECONNECT_DISABLED = -179;
constexpr tDiag E_XHDR_LINES_FAILED = -180;
constexpr tDiag E_GROUP_EOFS = -181;
constexpr tDiag E_GROUP_TEMP = -182;
constexpr tDiag E_GROUP_REFUSED = -183;
constexpr tDiag E_NO_SUCH_GROUP = -184;
constexpr tDiag E_LISTGROUP_NEGATIVE = -185;
constexpr tDiag E_LISTGROUP_ERROR = -186;
constexpr tDiag E_LISTGROUP_EOFS = -187;
constexpr tDiag E_XOVER_EMULATION = -188;
constexpr tDiag E_XOVER_REFUSED = -189;
constexpr tDiag E_XOVER_FAILED = -190;
constexpr tDiag E_XOVER_EOFS = -191;
constexpr tDiag E_NO_ACTIVE_GROUPS = -192;
constexpr tDiag E_FAILURE_TOO_RECENT = -193;
constexpr tDiag E_ALL_ARTICLES_REFUSED = -194;
constexpr tDiag E_TOO_FEW_ARTICLES = -195;
constexpr tDiag E_POST_EOFS = -196;
constexpr tDiag E_LIST_TIMEOUTS = -197;
constexpr tDiag E_XGTITLE_TIMEOUTS = -198;
constexpr tDiag E_LIST_ACTIVE_TIMEOUTS = -199;
constexpr tDiag E_LIST_REFUSED_TEMP = -200;
constexpr tDiag E_NO_INTERESTING_GROUPS = -201;
constexpr tDiag E_NO_GROUPS = -202;
constexpr tDiag E_LIST_REFUSED = -203;
constexpr tDiag E_BAD_AUTH = -204;
constexpr tDiag E_SERVER_MAINTAINED = -205;
constexpr tDiag E_TOO_MANY_CONNECTIONS = -206;
constexpr tDiag E_SERVER_OVERLOADED = -207;
constexpr tDiag E_NNTP_REFUSED = -208;
constexpr tDiag E_CONNECT_EOFS = -209;
constexpr tDiag E_TCP_REFUSED = -210;
constexpr tDiag E_HOST_UNREACHABLE = -211;
constexpr tDiag E_BAD_PROXY_ID = -212;
constexpr tDiag E_HOST_NOT_FOUND = -213;
constexpr tDiag E_STILL_RUNNING = -214;
constexpr tDiag E_NONE = -215;
constexpr tDiag E_MSGID_MISMATCH = -216;
constexpr tDiag E_FILE_EMPTY = -217;
constexpr tDiag E_NUMBERED_FILE_ORDER = -218;
constexpr tDiag E_NUMBER_NOT_IN_FILE = -219;
constexpr tDiag E_NUMBERED_FILE_CORRUPTED = -220;
constexpr tDiag E_ARTICLE_NOT_FOUND_2 = -221;
constexpr tDiag E_BAD_ARTICLE_FLAG = -222;
constexpr tDiag E_NO_TAB_AFTER_SERVREFS = -223;
constexpr tDiag E_BAD_SERVREFS = -224;
constexpr tDiag E_FILTERED_OUT = -225;
constexpr tDiag E_NO_EOL = -226;
constexpr tDiag E_LINES_TOO_LARGE = -227;
constexpr tDiag E_LINES_NOT_DIGITS = -228;
constexpr tDiag E_NO_LINES = -229;
constexpr tDiag E_NO_TAB_AFTER_BYTES = -230;
constexpr tDiag E_BYTES_TOO_LARGE = -231;
constexpr tDiag E_BYTES_NOT_DIGITS = -232;
constexpr tDiag E_NO_BYTES = -233;
constexpr tDiag E_NO_TAB_AFTER_REFERENCES = -234;
constexpr tDiag E_NO_REFERENCES = -235;
constexpr tDiag E_NO_TAB_AFTER_MSGID = -236;
constexpr tDiag E_MSGID_NO_END = -237;
constexpr tDiag E_MSGID_NO_START = -238;
constexpr tDiag E_NO_MSGID = -239;
constexpr tDiag E_NO_TAB_AFTER_DATE = -240;
constexpr tDiag E_DATE_TOO_OLD = -241;
constexpr tDiag E_NO_DATE = -242;
constexpr tDiag E_NO_TAB_AFTER_FROM = -243;
constexpr tDiag E_NO_FROM = -244;
constexpr tDiag E_NO_TAB_AFTER_SUBJECT = -245;
constexpr tDiag E_NO_SUBJECT = -246;
constexpr tDiag E_NO_TAB_AFTER_NUMBER = -247;
constexpr tDiag E_NUMBER_OUT_OF_RANGE = -248;
constexpr tDiag E_NUMBER_NOT_GREATER = -249;
constexpr tDiag E_TENFOLD_LEAP = -250;
constexpr tDiag E_NEGATIVE_NUMBER = -251;
constexpr tDiag E_BAD_ARTICLE_NUMBER = -252;
constexpr tDiag E_INDEX_SIZE = -253;
constexpr tDiag E_NO_INDEX = -254;
constexpr tDiag E_INDEX_NOT_LOADED = -255;
constexpr tDiag E_NULL_GROUP_NAME = -256;
constexpr tDiag E_NOT_IN_NEWSRC = -257;
constexpr tDiag E_NEWSRC_NO_GROUP_NAME = -258;
constexpr tDiag E_POPULAR_CORRUPTED = -259;
constexpr tDiag E_BAD_INTERVAL = -260;
constexpr tDiag E_NO_MORE_PROXIES = -262;
constexpr tDiag E_NO_SUCH_PROXY_CHAIN = -263;
constexpr tDiag E_SERVERS_INI_SAVE = -264;
constexpr tDiag E_SERVERS_INI_ERROR = -265;
constexpr tDiag E_ASYNC_CORRUPTED = -266;
constexpr tDiag E_ASYNC_SCHEDULE = -267;
constexpr tDiag E_CLIENT_DISCONNECTED = -268;
constexpr tDiag E_CANNOT_CREATE_SERVER = -269;
constexpr tDiag E_UNAUTHORIZED_CLIENT = -270;
constexpr tDiag E_NO_SUCH_SERVER_NAME = -271;
constexpr tDiag E_AMBIGUOUS_SERVER = -272;
constexpr tDiag E_MAIN_SYNC_FAILED = -273;
constexpr tDiag E_LOST_KEEP_ALIVE = -274;
constexpr tDiag E_NO_SUCH_SERVER_NUMBER = -275;
constexpr tDiag E_NO_OPEN_CONNECTION = -276;
constexpr tDiag E_NUMBER_NOT_ABOVE_LAST = -277;
constexpr tDiag E_ARTICLE_NOT_FOUND = -278;
constexpr tDiag E_MEMORY_CORRUPTED = -279;
constexpr tDiag E_OUT_OF_MEMORY = -280;
constexpr tDiag E_NO_LONG_NAME = -281;
constexpr tDiag E_CLOSED_BY_PEER = -282;
constexpr tDiag E_SOCKET = -283;
constexpr tDiag E_CANNOT_REPLACE_FILE = -284;
constexpr tDiag E_FILE_SET_INCOHERENT = -285;
constexpr tDiag E_UNEXPECTED_EOF = -286;
constexpr tDiag E_DISK_WRITE = -287;
constexpr tDiag E_FILE_UNEXPECTED = -288;
constexpr tDiag E_FILE_MISSING = -289;
constexpr tDiag E_FILE_EXISTS = -290;
constexpr tDiag E_PATH_TOO_LONG = -291;
constexpr tDiag E_CANNOT_OPEN_FILE = -292;
constexpr tDiag E_CANNOT_CREATE_DIR = -293;
constexpr tDiag E_OUT_OF_FILES = -294;
constexpr tDiag E_ERRNO = -295;
constexpr tDiag E_BUFFER_TOO_SMALL = -296;
constexpr tDiag E_NUMBER_CORRUPTED = -297;
constexpr tDiag E_STRING_EMPTY = -298;
constexpr tDiag E_SHUTDOWN = -299;

// Library error codes (values of errno set by the foundation library).
constexpr int ELIB_NO_DIRECTORY = 500;
constexpr int ELIB_BUFFER_TOO_SMALL = 501;
constexpr int ELIB_DIRECTORY_IS_CURRENT = 502;
constexpr int ELIB_OUT_OF_MEMORY = 503;
constexpr int ELIB_EOF = 504;
constexpr int ELIB_NOT_DATE_LINE = 505;
constexpr int ELIB_DATE_NOT_RECOGNIZED = 506;
constexpr int ELIB_SOURCE_SIZE = 507;
constexpr int ELIB_TARGET_OPEN = 508;
constexpr int ELIB_SOURCE_OPEN = 509;
constexpr int ELIB_SOURCE_READ = 510;
constexpr int ELIB_TARGET_WRITE = 511;
constexpr int ELIB_FINAL_SIZE = 512;
constexpr int ELIB_SIZE_MISMATCH = 513;
constexpr int ELIB_TIMEOUT = 514;
constexpr int ELIB_OUT_OF_THREADS = 515;
constexpr int ELIB_POOL_EXHAUSTED = 516;
constexpr int ELIB_CATEGORY_FULL = 517;
constexpr int ELIB_CANNOT_CANCEL_RUNNING = 518;
constexpr int ELIB_CANCEL_AWAITED = 519;
constexpr int ELIB_TASK_RUNNING = 520;
constexpr int ELIB_SHUTDOWN = 521;
constexpr int ELIB_INPUT_UNDERFLOW = 522;
constexpr int ELIB_OUTPUT_OVERFLOW = 523;
constexpr int ELIB_JUNK_AFTER_PADDING = 524;
constexpr int ELIB_ENCODED_CORRUPTED = 525;
constexpr int ELIB_PROCESS_WAIT = 526;

// Socket layer codes (set as the thread's last socket error).
constexpr int ESOCK_TIMEOUT = 19001;
constexpr int ESOCK_CANCELLED = 19002;
constexpr int ESOCK_BUFFER_OVERFLOW = 19003;
constexpr int ESOCK_NO_PING = 19004;
constexpr int ESOCK_NO_ICMP_DLL = 19005;
constexpr int ESOCK_NO_ICMP_CREATE = 19006;
constexpr int ESOCK_NO_ICMP_CLOSE = 19007;
constexpr int ESOCK_NO_ICMP_SEND = 19008;
constexpr int ESOCK_OUT_OF_MEMORY = 19009;
constexpr int ESOCK_BAD_URL_PORT = 19010;
constexpr int ESOCK_BAD_URL_PROXY_ID = 19011;
constexpr int ESOCK_ASYNC_CONNECT = 19012;
constexpr int ESOCK_NO_HOST_NAME = 19013;
constexpr int ESOCK_NO_HOST_ADDRESS = 19014;
constexpr int ESOCK_LOCAL_ONLY = 19015;
constexpr int ESOCK_FORBIDDEN_IP = 19016;

// Proxy codes (set as the thread's last socket error by proxy exchanges).
constexpr int EPROXY_NO_AUTH_METHOD = 20001;
constexpr int EPROXY_CLOSED = 20002;
constexpr int EPROXY_SEND_ABORTED = 20003;
constexpr int EPROXY_IMMEDIATE_SYNTAX = 20004;
constexpr int EPROXY_INTERMEDIATE_SYNTAX = 20005;
constexpr int EPROXY_LOGIN_REQUIRED = 20006;
constexpr int EPROXY_HOST_NOT_FOUND = 20007;
constexpr int EPROXY_NOT_ALLOWED = 20008;
constexpr int EPROXY_NETWORK_UNREACHABLE = 20009;
constexpr int EPROXY_HOST_UNREACHABLE = 20010;
constexpr int EPROXY_REFUSED = 20011;
constexpr int EPROXY_TTL_EXPIRED = 20012;
constexpr int EPROXY_COMMAND_UNSUPPORTED = 20013;
constexpr int EPROXY_ADDRESS_UNSUPPORTED = 20014;
constexpr int EPROXY_UNDOCUMENTED = 20015;
constexpr int EPROXY_BAD_CHAINING = 20016;
constexpr int EPROXY_BAD_TYPE = 20017;

// Winsock-style socket error numbers used by the platform layer.
constexpr int WSA_BASE = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAEDISCON = 10101;
// Name resolution statuses (shared with the ICMP echo statuses 11000..11019).
constexpr int WSA_RESOLVE_OK = 11000;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;
// ICMP echo statuses.
constexpr int IP_DEST_PORT_UNREACHABLE = 11005;
constexpr int IP_NO_RESOURCES = 11006;
constexpr int IP_BAD_OPTION = 11007;
constexpr int IP_HW_ERROR = 11008;
constexpr int IP_PACKET_TOO_BIG = 11009;
constexpr int IP_REQ_TIMED_OUT = 11010;
constexpr int IP_BAD_REQ = 11011;
constexpr int IP_BAD_ROUTE = 11012;
constexpr int IP_TTL_EXPIRED_TRANSIT = 11013;
constexpr int IP_TTL_EXPIRED_REASSEM = 11014;
constexpr int IP_PARAM_PROBLEM = 11015;
constexpr int IP_SOURCE_QUENCH = 11016;
constexpr int IP_OPTION_TOO_BIG = 11017;
constexpr int IP_BAD_DESTINATION = 11018;
constexpr int IP_GENERAL_FAILURE = 11019;

// The message of a tDiag. E_ERRNO, E_SOCKET and E_SEMAPHORE read the calling
// thread's errno or last socket error at the moment of the call. A code
// without a message yields "Error %d without name". Never fails; the result is
// valid until the next formatting call on this thread.
const char *DiagText(tDiag diag);

// Reverse lookup of a stored message: the first code from -300 upward to 0
// whose message equals text exactly; E_NONE when none matches.
tDiag DiagFromText(const char *text);

// 0 gives "Ok", 500..526 the library table, anything else strerror's text.
const char *LibErrorText(int code);

// 19001..19016 the socket layer table; below 10000 strerror's text cut at its
// first line feed; 10000..10101 and 11000..11019 the Winsock and ICMP names;
// anything else "Error %d".
const char *SockErrorText(int code);

// 20001..20017 the proxy table, otherwise SockErrorText(code).
const char *ProxyErrorText(int code);

// The calling thread's last socket error.
int SockLastError();

// Sets the calling thread's last socket error without failing.
void SockSetLastError(int code);

// Stores code as the calling thread's last socket error and returns -1.
int SockFail(int code);

// Maps a POSIX errno value onto the Winsock number of the same meaning
// (ECONNREFUSED -> 10061 ...). A value without a Winsock counterpart is
// returned unchanged (it is below 10000 and reads as strerror's text).
int SockErrorFromErrno(int err);

// Maps a getaddrinfo() failure (EAI_*) onto the resolver statuses:
// EAI_NONAME and EAI_NODATA -> 11001 "Host not found", EAI_AGAIN -> 11002,
// EAI_FAIL -> 11003, EAI_SYSTEM -> SockErrorFromErrno(errno), others 11003.
int SockErrorFromResolver(int eai);
