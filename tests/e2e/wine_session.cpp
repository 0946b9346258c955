#include "tests/e2e/wine_session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

std::string wine_session_problem() {
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix == nullptr || *prefix == '\0') {
        return "WINEPREFIX is not set: run the Windows tests through scripts/wine-env";
    }
    if (!std::filesystem::is_directory(std::filesystem::path(prefix) / "dosdevices")) {
        return std::string("no dosdevices folder in WINEPREFIX ") + prefix +
               ": run the Windows tests through scripts/wine-env";
    }
    if (!std::filesystem::exists(TERVALO_WINDOWS_EXE)) {
        return std::string("the Windows build is missing: ") + TERVALO_WINDOWS_EXE;
    }
    return "";
}

std::filesystem::path dos_device(const std::string& name) {
    return std::filesystem::path(std::getenv("WINEPREFIX")) / "dosdevices" / name;
}

std::unique_ptr<tool_run> run_windows_tool(const std::vector<std::string>& args,
                                           const std::filesystem::path& cwd,
                                           const run_streams& streams) {
    std::vector<std::string> wine_args{TERVALO_WINDOWS_EXE};
    wine_args.insert(wine_args.end(), args.begin(), args.end());
    return std::make_unique<tool_run>(WINE_PROGRAM, wine_args, cwd, streams);
}

std::unique_ptr<tool_run> run_batch(const std::string& text, const std::vector<std::string>& args,
                                    const std::filesystem::path& cwd) {
    std::filesystem::copy_file(TERVALO_WINDOWS_EXE, cwd / "tervalo.exe",
                               std::filesystem::copy_options::skip_existing);
    std::ofstream(cwd / "run.bat", std::ios::binary) << text;
    std::vector<std::string> wine_args{"cmd", "/c", "run.bat"};
    wine_args.insert(wine_args.end(), args.begin(), args.end());
    return std::make_unique<tool_run>(WINE_PROGRAM, wine_args, cwd);
}

std::string wine_reg(const std::vector<std::string>& args, const std::filesystem::path& cwd) {
    std::vector<std::string> wine_args{"reg"};
    wine_args.insert(wine_args.end(), args.begin(), args.end());
    tool_run reg(WINE_PROGRAM, wine_args, cwd);
    EXPECT_EQ(reg.wait_exit(LONG_WAIT), 0) << reg.output();
    return reg.output();
}
