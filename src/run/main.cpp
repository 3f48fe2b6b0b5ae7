#include "run.h"

int main(int argc, char **argv)
{
    return run_driver(argc, argv);
}
