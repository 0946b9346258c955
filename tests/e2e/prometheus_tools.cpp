#include "tests/e2e/prometheus_tools.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <thread>

namespace {

constexpr const char* INSTALL_HINT = " is missing: scripts/install-deps all installs it";

bool program_missing(const char* program) {
    if (access(program, X_OK) == 0) {
        return false;
    }
    ADD_FAILURE() << program << INSTALL_HINT;
    return true;
}

// Reads `"value"` with its escapes from text at `at`; moves at past it.
std::optional<std::string> label_value(std::string_view text, std::size_t& at) {
    if (at >= text.size() || text[at] != '"') {
        return std::nullopt;
    }
    std::string value;
    for (++at; at < text.size(); ++at) {
        char c = text[at];
        if (c == '"') {
            ++at;
            return value;
        }
        if (c == '\\') {
            if (++at == text.size()) {
                return std::nullopt;
            }
            c = text[at] == 'n' ? '\n' : text[at];
        }
        value += c;
    }
    return std::nullopt;
}

std::optional<prom_sample> parse_sample(std::string_view line) {
    prom_sample sample;
    std::size_t at = line.find_first_of("{ ");
    if (at == 0 || at == std::string_view::npos) {
        return std::nullopt;
    }
    sample.name = line.substr(0, at);
    if (line[at] == '{') {
        ++at;
        while (at < line.size() && line[at] != '}') {
            const std::size_t equals = line.find('=', at);
            if (equals == std::string_view::npos) {
                return std::nullopt;
            }
            const std::string name(line.substr(at, equals - at));
            at = equals + 1;
            const auto value = label_value(line, at);
            if (!value) {
                return std::nullopt;
            }
            sample.labels[name] = *value;
            if (at < line.size() && line[at] == ',') {
                ++at;
            }
        }
        if (at >= line.size()) {
            return std::nullopt;
        }
        ++at;
    }
    if (at >= line.size() || line[at] != ' ') {
        return std::nullopt;
    }
    const std::string_view number = line.substr(at + 1);
    if (number == "+Inf" || number == "-Inf" || number == "NaN") {
        return std::nullopt;  // never written by the tool
    }
    const auto [end, error] =
        std::from_chars(number.data(), number.data() + number.size(), sample.value);
    if (error != std::errc() || end != number.data() + number.size()) {
        return std::nullopt;
    }
    return sample;
}

}  // namespace

std::optional<std::vector<prom_sample>> parse_exposition(std::string_view text) {
    if (text.empty() || text.back() != '\n') {
        return std::nullopt;
    }
    std::vector<prom_sample> samples;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (line.starts_with('#')) {
            continue;
        }
        auto sample = parse_sample(line);
        if (!sample) {
            return std::nullopt;
        }
        samples.push_back(std::move(*sample));
    }
    return samples;
}

std::optional<double> sample_value(const std::vector<prom_sample>& samples, std::string_view name,
                                   const std::map<std::string, std::string>& labels) {
    std::optional<double> found;
    for (const prom_sample& sample : samples) {
        const bool labelled = std::all_of(labels.begin(), labels.end(), [&](const auto& label) {
            const auto it = sample.labels.find(label.first);
            return it != sample.labels.end() && it->second == label.second;
        });
        if (sample.name == name && labelled) {
            EXPECT_FALSE(found) << name << " appears twice";
            found = sample.value;
        }
    }
    return found;
}

namespace {

// A port nobody listens on right now. Another program could take it before node_exporter
// does; the caller then tries again.
int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// The body of a plain HTTP/1.0 GET of path on 127.0.0.1:port, or nullopt.
std::optional<std::string> http_get(int port, const std::string& path) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return std::nullopt;
    }
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    std::string response;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n = 0; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            response.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    const std::size_t body = response.find("\r\n\r\n");
    if (!response.starts_with("HTTP/1.0 200") && !response.starts_with("HTTP/1.1 200")) {
        return std::nullopt;
    }
    return body == std::string::npos ? std::nullopt : std::optional(response.substr(body + 4));
}

}  // namespace

node_exporter_run::node_exporter_run(const std::filesystem::path& dir) {
    if (program_missing(PROMETHEUS_NODE_EXPORTER)) {
        return;
    }
    for (int attempt = 0; attempt < 3 && port_ == 0; ++attempt) {
        const int port = free_port();
        run_ = std::make_unique<tool_run>(
            unprivileged_program(PROMETHEUS_NODE_EXPORTER),
            unprivileged({PROMETHEUS_NODE_EXPORTER,
                          "--web.listen-address=127.0.0.1:" + std::to_string(port),
                          "--collector.disable-defaults", "--collector.textfile",
                          "--collector.textfile.directory=" + dir.string()}),
            dir);
        const auto deadline = std::chrono::steady_clock::now() + LONG_WAIT;
        while (run_->running() && std::chrono::steady_clock::now() < deadline) {
            if (http_get(port, "/metrics")) {
                port_ = port;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    EXPECT_NE(port_, 0) << "node_exporter never answered:\n" << (run_ ? run_->errors() : "");
}

std::string node_exporter_run::scrape() const {
    return port_ == 0 ? "" : http_get(port_, "/metrics").value_or("");
}

std::string promtool_check(const std::filesystem::path& file) {
    if (program_missing(PROMTOOL)) {
        return "promtool is missing";
    }
    const std::filesystem::path dir = file.parent_path();
    tool_run run("/bin/sh",
                 {"-c", std::string(PROMTOOL) + " check metrics < \"$0\"", file.string()}, dir);
    const int status = run.wait_exit(LONG_WAIT);
    const std::string said = run.output() + run.errors();
    return status == 0 && said.empty() ? "" : said + "(exit status " + std::to_string(status) + ")";
}

int promtool_run(const std::vector<std::string>& args, const std::filesystem::path& dir,
                 std::string* said) {
    if (program_missing(PROMTOOL)) {
        *said = "promtool is missing";
        return -1;
    }
    tool_run run(PROMTOOL, args, dir);
    const int status = run.wait_exit(LONG_WAIT);
    *said = run.output() + run.errors();
    return status;
}
