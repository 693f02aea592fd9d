// The test helpers for files and images, the same on every system.
#include "tests/support/TestEnvironment.h"

#include <fstream>
#include <random>
#include <sstream>

namespace testing_support {

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string makeImage(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string image(size, '\0');
    for (auto& byte : image)
        byte = static_cast<char>(random() & 0xFF);
    return image;
}

}  // namespace testing_support
