#include "flow.h"

int main(int argc, char **argv)
{
    return ensemble_driver(argc, argv);
}
