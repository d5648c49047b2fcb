// The test certificates: made by the project's own script into a folder of this process.
// Thread rule: made once (a function-local static).
#include "tests/support/TestCerts.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace testsupport {

const std::filesystem::path& TestCertsDir() {
    static const std::filesystem::path dir = [] {
        auto d = std::filesystem::temp_directory_path() /
                 ("zoltcfg-certs-" + std::to_string(::getpid()));
        const std::string cmd = "bash '" ZOLT_SOURCE_DIR "/scripts/make-test-certs.sh' '" +
                                d.string() +
                                "' server client other --expired old --foreign stranger "
                                ">/dev/null";
        if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot make " + d.string());
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                                            ("zoltcfg-certs-" + std::to_string(::getpid())),
                                        ignored);
        });
        return d;
    }();
    return dir;
}

}  // namespace testsupport
