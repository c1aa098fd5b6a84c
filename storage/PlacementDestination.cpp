#include "storage/PlacementDestination.h"

#include <algorithm>
#include <vector>

#include "baseutils/SplitText.h"

namespace {

bool isControl(char c) {
    auto code = static_cast<unsigned char>(c);
    return code < 0x20 || code == 0x7F;
}

bool hasComponent(const std::vector<std::string>& parts, const std::string& name) {
    return std::find(parts.begin(), parts.end(), name) != parts.end();
}

}  // namespace

std::string pathWithinPartition(const std::string& destination) {
    std::string::size_type slash = destination.find('/');
    return slash == std::string::npos ? destination : destination.substr(slash + 1);
}

std::string placementEscapeProblem(const std::string& destination) {
    std::string path = pathWithinPartition(destination);
    if (!path.empty() && path.front() == '/') {
        return "the path after the partition number is absolute";
    }
    if (hasComponent(splitText(path, '/'), "..")) {
        return "it has a '..' component, which leads out of the partition";
    }
    return "";
}

std::string placementDestinationProblem(const std::string& destination) {
    if (std::any_of(destination.begin(), destination.end(), isControl)) {
        return "it holds a control character";
    }
    std::string problem = placementEscapeProblem(destination);
    if (!problem.empty()) {
        return problem;
    }
    std::string path = pathWithinPartition(destination);
    if (path.empty()) {
        return "it names no file after the partition number";
    }
    if (path.back() == '/') {
        return "it ends with '/', which names a directory, not a file";
    }
    std::vector<std::string> parts = splitText(path, '/');
    if (hasComponent(parts, "")) {
        return "it has an empty path component ('//')";
    }
    if (hasComponent(parts, ".")) {
        return "it has a '.' component";
    }
    return "";
}
