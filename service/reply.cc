#include "service/reply.h"

#include <nlohmann/json.hpp>

namespace textrill::service {

std::string SuccessReply(const std::vector<RecognizedLine>& lines) {
  nlohmann::ordered_json results = nlohmann::ordered_json::array();
  for (const RecognizedLine& line : lines) {
    nlohmann::ordered_json item;
    item["words"] = line.text;
    item["probability"] = {
        {"average", line.average}, {"min", line.min}, {"variance", line.variance}};
    item["location"] = {
        {"left", line.left}, {"top", line.top}, {"width", line.width}, {"height", line.height}};
    results.push_back(std::move(item));
  }
  nlohmann::ordered_json reply;
  reply["errno"] = 0;
  reply["msg"] = std::string(ServiceErrorMessage(ServiceError::kNone));
  reply["data"]["words_result_num"] = lines.size();
  reply["data"]["words_result"] = std::move(results);
  return reply.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string ErrorReply(ServiceError error) {
  nlohmann::ordered_json reply;
  reply["errno"] = static_cast<int>(error);
  reply["msg"] = std::string(ServiceErrorMessage(error));
  return reply.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace textrill::service
