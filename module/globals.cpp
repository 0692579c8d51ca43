// The process-wide objects, defined in one translation unit so that they are constructed in this order
// when the library is loaded and destroyed in the reverse order when it is unloaded.
#include "module/globals.h"

namespace doip::detail {
namespace {

// 1. The error text table.
const ErrorTextMap doip_err_str_map = make_error_text_map();

}  // namespace

const ErrorTextMap& err_str_map() { return doip_err_str_map; }

}  // namespace doip::detail
