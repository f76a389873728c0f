// The JSON replies of the recognition service.
//
// Readers of these replies may search the text for fixed markers instead of
// parsing it, so the layout is fixed: no white space, keys in this order,
//   {"errno":0,"msg":"success","data":{"words_result_num":N,"words_result":[
//     {"words":"...","probability":{"average":A,"min":M,"variance":V},
//      "location":{"left":L,"top":T,"width":W,"height":H}}, ...]}}
// and for a failure {"errno":E,"msg":"..."}. Every number is followed by a
// comma except the last one of an object, so "errno":, "average": and
// "words_result_num": are always followed by one.
#pragma once

#include <string>
#include <vector>

#include "service/recognizer.h"
#include "service/request.h"

namespace textrill::service {

// The success reply for `lines` (UTF-8 JSON). Text that is not valid UTF-8 is
// written with U+FFFD in place of the broken bytes.
std::string SuccessReply(const std::vector<RecognizedLine>& lines);

// The failure reply for `error` (not kNone).
std::string ErrorReply(ServiceError error);

}  // namespace textrill::service
