#include "vserver/ScriptedBmc.h"

void ScriptedBmc::answer(std::uint8_t netfn, std::uint8_t cmd, std::uint8_t completionCode,
                         std::vector<std::uint8_t> data) {
    std::lock_guard<std::mutex> lock(mutex_);
    standing_[{netfn, cmd}] = Answer{false, completionCode, std::move(data)};
}

void ScriptedBmc::answerOnce(std::uint8_t netfn, std::uint8_t cmd, std::uint8_t completionCode,
                             std::vector<std::uint8_t> data) {
    std::lock_guard<std::mutex> lock(mutex_);
    once_[{netfn, cmd}].push_back(Answer{false, completionCode, std::move(data)});
}

void ScriptedBmc::silence(std::uint8_t netfn, std::uint8_t cmd) {
    std::lock_guard<std::mutex> lock(mutex_);
    standing_[{netfn, cmd}] = Answer{true, 0, {}};
}

void ScriptedBmc::silenceOnce(std::uint8_t netfn, std::uint8_t cmd) {
    std::lock_guard<std::mutex> lock(mutex_);
    once_[{netfn, cmd}].push_back(Answer{true, 0, {}});
}

void ScriptedBmc::setDefaultCompletionCode(std::uint8_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    defaultCode_ = code;
}

std::vector<IpmiRequest> ScriptedBmc::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::size_t ScriptedBmc::requestCount(std::uint8_t netfn, std::uint8_t cmd) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t count = 0;
    for (const auto& request : requests_) {
        count += request.netfn == netfn && request.cmd == cmd;
    }
    return count;
}

std::optional<IpmiResponse> ScriptedBmc::exchange(const IpmiRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    Key key{request.netfn, request.cmd};
    Answer chosen{false, defaultCode_, {}};
    auto once = once_.find(key);
    if (once != once_.end() && !once->second.empty()) {
        chosen = once->second.front();
        once->second.pop_front();
    } else if (auto standing = standing_.find(key); standing != standing_.end()) {
        chosen = standing->second;
    }
    if (chosen.silent) {
        return std::nullopt;
    }
    IpmiResponse response;
    response.netfn = static_cast<std::uint8_t>(request.netfn + 1);
    response.cmd = request.cmd;
    response.data.push_back(chosen.completionCode);
    response.data.insert(response.data.end(), chosen.data.begin(), chosen.data.end());
    return response;
}
