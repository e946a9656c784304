/* Registers TEXT through both exported functions of the installed library,
   as a host compiled against the installed header does, and prints both
   codes, the result string and the log. */
#include <register/register.h>
#include <stdio.h>

int main(int argc, char** argv)
{
    char result[256];
    char log[8192];
    int32_t resultLength = -1;
    int32_t logLength = -1;
    int32_t plainCode;
    int32_t code;

    if (argc != 2) {
        fprintf(stderr, "usage: consumer TEXT\n");
        return 64;
    }
    plainCode = DLL_RegisterUser(argv[1], 3, 1, 0, 1, 0);
    code = DLL_RegisterUserEx(argv[1], 3, 1, 0, 1, 0, result, (int32_t)sizeof result, &resultLength,
                              log, (int32_t)sizeof log, &logLength);
    printf("codes %d %d\n", (int)plainCode, (int)code);
    printf("result %s\n", result);
    printf("log %d bytes\n%s", (int)logLength, log);
    return 0;
}
