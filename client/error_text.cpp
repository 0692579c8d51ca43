#include "client/error_text.h"

#include <algorithm>
#include <cstring>

#include "doip.h"
#include "client/client_objects.h"

namespace doip::detail {
namespace {

struct CodeTexts {
    int code;
    const char* text;      // returned by get_doip_err_str
    const char* log_text;  // logged by doip_activate
};

constexpr CodeTexts kCodeTexts[] = {
    {DOIP_RA_UNKNOWN_SOURCE_ADDRESS, "路由激活由于未知源地址而被拒绝",
     "(0x00) Routing activation denied due to unknown source address."},
    {DOIP_RA_ALL_SOCKETS_ACTIVE, "路由激活被拒绝，因为所有并发支持的TCP_DATA套接字都已注册并处于活动状态",
     "(0x01) Routing activation denied because all concurrently supported TCP_DATA sockets are registered "
     "and active."},
    {DOIP_RA_SA_DIFFERENT, "路由激活被拒绝，因为接收到的SA与已激活TCP_DATA套接字上的表连接条目不同",
     "(0x02) Routing activation denied because the SA received is different from the table connection "
     "entry on the already activated TCP_DATA socket."},
    {DOIP_RA_SA_ALREADY_ACTIVE, "路由激活被拒绝，因为SA已经在不同的TCP_DATA套接字上注册并处于活动状态",
     "(0x03) Routing activation denied because the SA is already registered and active on a different "
     "TCP_DATA socket."},
    {DOIP_RA_MISSING_AUTHENTICATION, "路由激活由于缺少认证而被拒绝",
     "(0x04) Routing activation denied due to missing authentication."},
    {DOIP_RA_REJECTED_CONFIRMATION, "路由激活由于确认被拒绝而被拒绝",
     "(0x05) Routing activation denied due to rejected confirmation."},
    {DOIP_RA_UNSUPPORTED_TYPE, "路由激活由于不支持的路由激活类型而被拒绝",
     "(0x06) Routing activation denied due to unsupported routing activation type."},
    {DOIP_RA_REQUIRES_TLS, "路由激活被拒绝，因为指定的激活类型需要安全的TLS TCP_DATA套接字",
     "(0x07) Routing activation denied because the specified activation type requires a secure TLS "
     "TCP_DATA socket."},
    {DOIP_RA_ACTIVATED, "路由已成功激活", "(0x10) Routing successfully activated."},
    {DOIP_RA_CONFIRMATION_REQUIRED, "路由已激活，但需要确认",
     "(0x11) Routing is activated; confirmation required."},
};

constexpr const char* kUnknownLogText = "Unkown Error";
constexpr const char* kUnknownCodePrefix = "unknwon err code: ";

}  // namespace

ErrorTextMap make_error_text_map() {
    ErrorTextMap map;
    for (const CodeTexts& entry : kCodeTexts) {
        map.emplace_hint(map.end(), entry.code, entry.text);
    }
    return map;
}

const char* activation_log_text(int code) {
    for (const CodeTexts& entry : kCodeTexts) {
        if (entry.code == code) {
            return entry.log_text;
        }
    }
    return kUnknownLogText;
}

}  // namespace doip::detail

extern "C" DOIP_API int get_doip_err_str(int code, char* buf, int* len) {
    if (buf == nullptr || len == nullptr || *len <= 0) {
        return DOIP_ERR_GENERAL;
    }
    const doip::detail::ErrorTextMap& table = doip::detail::error_texts();
    const auto found = table.find(code);
    const std::string text = found != table.end()
                                 ? found->second
                                 : std::string(doip::detail::kUnknownCodePrefix) + std::to_string(code);
    const size_t n = std::min(text.size(), static_cast<size_t>(*len) - 1);
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
    *len = static_cast<int>(n);
    return DOIP_OK;
}
