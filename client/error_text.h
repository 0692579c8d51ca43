// Result codes as texts: the application's table (get_doip_err_str) and the routing activation log texts.
#ifndef DOIP_CLIENT_ERROR_TEXT_H
#define DOIP_CLIENT_ERROR_TEXT_H

#include <map>
#include <string>

namespace doip::detail {

using ErrorTextMap = std::map<int, std::string>;

// The ten routing activation result texts, keys 0x1001..0x100A, inserted in ascending order.
ErrorTextMap make_error_text_map();

// The English text a refused routing activation logs: one per code 0x1001..0x100A, "Unkown Error" else.
const char* activation_log_text(int code);

}  // namespace doip::detail

#endif
