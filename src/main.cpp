// The entry point: the arguments as the system gives them to run control.
#include "image_job.h"
#include "platform.h"

int main(int argc, char **argv)
{
    return run_romweave(argc, command_line_arguments(argc, argv));
}
