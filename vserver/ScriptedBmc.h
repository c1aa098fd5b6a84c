#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "vserver/BmcTransport.h"

// A controller that answers by network function and command from a script:
// a completion code and data per command, one-shot answers that come first,
// and commands it stays silent to. Unscripted commands get 0xC1 (invalid
// command). Every request is kept.
class ScriptedBmc : public BmcTransport {
public:
    struct Answer {
        bool silent = false;
        std::uint8_t completionCode = 0;
        std::vector<std::uint8_t> data;
    };

    // The standing answer for netfn/cmd.
    void answer(std::uint8_t netfn, std::uint8_t cmd, std::uint8_t completionCode,
                std::vector<std::uint8_t> data = {});
    // Answers used once each, in order, before the standing answer.
    void answerOnce(std::uint8_t netfn, std::uint8_t cmd, std::uint8_t completionCode,
                    std::vector<std::uint8_t> data = {});
    void silence(std::uint8_t netfn, std::uint8_t cmd);
    void silenceOnce(std::uint8_t netfn, std::uint8_t cmd);
    void setDefaultCompletionCode(std::uint8_t code);

    std::vector<IpmiRequest> requests() const;
    std::size_t requestCount(std::uint8_t netfn, std::uint8_t cmd) const;

    std::optional<IpmiResponse> exchange(const IpmiRequest& request) override;

private:
    using Key = std::pair<std::uint8_t, std::uint8_t>;

    mutable std::mutex mutex_;
    std::map<Key, Answer> standing_;
    std::map<Key, std::deque<Answer>> once_;
    std::uint8_t defaultCode_ = 0xC1;
    std::vector<IpmiRequest> requests_;
};
