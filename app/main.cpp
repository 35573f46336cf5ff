#include "app/demo.h"

int main()
{
    return runDemo();
}
