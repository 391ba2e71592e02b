#include <cstdio>

int main() {
    std::printf("Version: 2.12.0 %s\n", __DATE__);
    return 0;
}
