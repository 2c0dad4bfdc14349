#include <cstdio>

int main(int argc, char** argv)
{
    (void)argc;
    (void)argv;
    std::puts("Tarnwicke: the host program is not built yet; nothing to start.");
    return 0;
}
