// peak_memory PROGRAM [ARGS...]: runs PROGRAM, its output to /dev/null, and prints its exit code,
// its peak resident memory in kB and its CPU seconds, as the kernel counted them (wait4). A process
// of its own, started fresh: a child forked from a large test process would count the test's pages
// in its peak (the kernel keeps the larger of the old and the new image's peak across exec).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const pid_t child = fork();
    if (child < 0)
        return 2;
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child)
        return 2;
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%d %ld %.3f\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss, cpu);
    return 0;
}
