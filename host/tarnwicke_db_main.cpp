#include <cstdio>

int main()
{
    std::puts("usage: tarnwicke-db info|check|dump FILE ...");
    return 2;
}
