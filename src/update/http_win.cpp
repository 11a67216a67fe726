#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <vector>

#include "app/errors.h"
#include "app/version.h"
#include "app/win_error.h"
#include "app/win_raii.h"
#include "update/http.h"

namespace twr {

namespace {

// WinHTTP is bound on first use, so that a system without it fails only the update calls.
struct WinHttpApi {
    decltype(&::WinHttpOpen) open = nullptr;
    decltype(&::WinHttpSetTimeouts) setTimeouts = nullptr;
    decltype(&::WinHttpConnect) connect = nullptr;
    decltype(&::WinHttpOpenRequest) openRequest = nullptr;
    decltype(&::WinHttpAddRequestHeaders) addRequestHeaders = nullptr;
    decltype(&::WinHttpSendRequest) sendRequest = nullptr;
    decltype(&::WinHttpReceiveResponse) receiveResponse = nullptr;
    decltype(&::WinHttpQueryHeaders) queryHeaders = nullptr;
    decltype(&::WinHttpQueryDataAvailable) queryDataAvailable = nullptr;
    decltype(&::WinHttpReadData) readData = nullptr;
    decltype(&::WinHttpCloseHandle) closeHandle = nullptr;
};

template <typename Fn>
void Bind(HMODULE module, const char* name, Fn& slot) {
    if (module) slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

const WinHttpApi& Api() {
    static const WinHttpApi api = [] {
        WinHttpApi a;
        // Kept for the life of the process: bound pointers must stay valid.
        HMODULE m = ::LoadLibraryExW(L"winhttp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        Bind(m, "WinHttpOpen", a.open);
        Bind(m, "WinHttpSetTimeouts", a.setTimeouts);
        Bind(m, "WinHttpConnect", a.connect);
        Bind(m, "WinHttpOpenRequest", a.openRequest);
        Bind(m, "WinHttpAddRequestHeaders", a.addRequestHeaders);
        Bind(m, "WinHttpSendRequest", a.sendRequest);
        Bind(m, "WinHttpReceiveResponse", a.receiveResponse);
        Bind(m, "WinHttpQueryHeaders", a.queryHeaders);
        Bind(m, "WinHttpQueryDataAvailable", a.queryDataAvailable);
        Bind(m, "WinHttpReadData", a.readData);
        Bind(m, "WinHttpCloseHandle", a.closeHandle);
        return a;
    }();
    return api;
}

// The error saved right after the last WinHTTP call of this thread: the number Fail reports.
thread_local DWORD tSavedError = 0;

// Clears the thread's error before the call and saves it after, so that the number reported
// belongs to this call and not to whatever ran before it.
template <typename Fn, typename... Args>
auto Call(Fn fn, Args... args) -> decltype(fn(args...)) {
    using R = decltype(fn(args...));
    if (!fn) {
        tSavedError = ERROR_PROC_NOT_FOUND;
        return R{};
    }
    ::SetLastError(0);
    R r = fn(args...);
    tSavedError = ::GetLastError();
    return r;
}

IoError Fail(std::string_view api) {
    return IoError(Http::FailText(api, static_cast<int32_t>(tSavedError)), static_cast<int64_t>(tSavedError));
}

void CloseInternet(HINTERNET h) noexcept {
    if (Api().closeHandle) Api().closeHandle(h);
}
using unique_hinternet = win::unique_any<HINTERNET, CloseInternet>;

}  // namespace

std::string Http::Get(const std::string& url, int timeoutSeconds, uint64_t maxBytes) {
    const Address address = RequireHttps(url);
    const WinHttpApi& api = Api();

    // Declared in the order of opening, so they close in the order request, connection, session.
    const std::wstring agent = L"Tapewright/" + win::Widen(kVersion);
    unique_hinternet session(Call(api.open, agent.c_str(), DWORD{WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY},
                                  LPCWSTR{WINHTTP_NO_PROXY_NAME}, LPCWSTR{WINHTTP_NO_PROXY_BYPASS}, DWORD{0}));
    if (!session) throw Fail("WinHttpOpen");

    const int ms = static_cast<int>(TimeoutMillis(timeoutSeconds));
    Call(api.setTimeouts, session.get(), ms, ms, ms, ms);

    const std::wstring host = win::Widen(address.host);
    unique_hinternet connection(Call(api.connect, session.get(), host.c_str(),
                                     static_cast<INTERNET_PORT>(PortFor(address)), DWORD{0}));
    if (!connection) throw Fail("WinHttpConnect");

    const std::wstring object = win::Widen(address.path + address.query);
    unique_hinternet request(Call(api.openRequest, connection.get(), L"GET", object.c_str(), LPCWSTR{nullptr},
                                  LPCWSTR{WINHTTP_NO_REFERER}, static_cast<LPCWSTR*>(WINHTTP_DEFAULT_ACCEPT_TYPES),
                                  DWORD{WINHTTP_FLAG_SECURE}));
    if (!request) throw Fail("WinHttpOpenRequest");

    const std::wstring accept = win::Widen(kAcceptHeader);
    Call(api.addRequestHeaders, request.get(), accept.c_str(), static_cast<DWORD>(-1),
         DWORD{WINHTTP_ADDREQ_FLAG_ADD});

    if (!Call(api.sendRequest, request.get(), LPCWSTR{WINHTTP_NO_ADDITIONAL_HEADERS}, DWORD{0},
              LPVOID{WINHTTP_NO_REQUEST_DATA}, DWORD{0}, DWORD{0}, DWORD_PTR{0}))
        throw Fail("WinHttpSendRequest");
    if (!Call(api.receiveResponse, request.get(), LPVOID{nullptr})) throw Fail("WinHttpReceiveResponse");

    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!Call(api.queryHeaders, request.get(), DWORD{WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER},
              LPCWSTR{WINHTTP_HEADER_NAME_BY_INDEX}, static_cast<LPVOID>(&status), &statusSize,
              static_cast<LPDWORD>(WINHTTP_NO_HEADER_INDEX)))
        throw Fail("WinHttpQueryHeaders");
    if (status < 200 || status >= 300) throw IoError(StatusText(status, address));

    std::vector<char> buffer(kReadBufferBytes);
    std::string body;
    for (;;) {
        DWORD available = 0;
        if (!Call(api.queryDataAvailable, request.get(), &available)) throw Fail("WinHttpQueryDataAvailable");
        if (available == 0) break;
        DWORD read = 0;
        const DWORD want = std::min<DWORD>(available, kReadBufferBytes);
        if (!Call(api.readData, request.get(), static_cast<LPVOID>(buffer.data()), want, &read))
            throw Fail("WinHttpReadData");
        if (read == 0) break;
        if (body.size() + read > maxBytes) throw IoError(TooLargeText(address, maxBytes));
        body.append(buffer.data(), read);
    }
    return body;
}

std::string Http::GetString(const std::string& url, int timeoutSeconds, uint64_t maxBytes) {
    return DecodeBody(Get(url, timeoutSeconds, maxBytes));
}

}  // namespace twr
