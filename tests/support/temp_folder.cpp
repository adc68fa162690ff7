#include "support/temp_folder.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>
#include <sys/stat.h>

namespace zem_test {

TempFolder::TempFolder() {
    const char* root = getenv("ZEM_TEST_TMP");
    std::string base = root && *root ? root : "/tmp";
    mkdir(base.c_str(), 0777);
    std::string pattern = base + "/zem-unit-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) abort();
    path_ = pattern;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) previous_ = cwd;
    if (chdir(path_.c_str()) != 0) abort();
}

TempFolder::~TempFolder() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) abort();
    const std::string command = "chmod -R u+w '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace zem_test
