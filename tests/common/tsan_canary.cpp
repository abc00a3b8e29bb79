// A data race on purpose, built only with ThreadSanitizer: the test around it (see
// CMakeLists.txt) checks that under CI's suppressions a race in our own code still ends the
// program with the status that fails a test, so that the suppressions cannot silence us.
#include <thread>

namespace {
int shared = 0;
}

int main() {
    std::thread other([] { ++shared; });
    ++shared;
    other.join();
    return shared == 2 ? 0 : 1;
}
