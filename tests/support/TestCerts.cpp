// The test certificates: made by the project's own script into a folder of this process.
// Thread rule: made once (a function-local static), removed with it at exit.
#include "tests/support/TestCerts.h"

#include <cstdlib>
#include <stdexcept>

#include "tests/support/TempDir.h"

namespace testsupport {

const std::filesystem::path& TestCertsDir() {
    static const CTempDir dir("zoltcfg-certs");
    static const bool made =
        std::system(("bash '" ZOLT_SOURCE_DIR "/scripts/make-test-certs.sh' '" + dir.Str() +
                     "' server client other --expired old --foreign "
                     "stranger >/dev/null")
                        .c_str()) == 0;
    if (!made) throw std::runtime_error("cannot make the test certificates in " + dir.Str());
    return dir.Path();
}

}  // namespace testsupport
