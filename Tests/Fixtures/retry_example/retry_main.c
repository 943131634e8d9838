/* Runs the README's retrying example: example PROJECT_DIR SERVER. SIGINT stands for the Cancel
 * button; a cancelled update is started again once, as a player clicking "Update" again would. */
#include <signal.h>
#include <stdio.h>
#include <string.h>

void request_cancel(void);
int update_with_retries(const char* dir, const char* server);

static void on_interrupt(int number)
{
    (void)number;
    request_cancel();
}

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = on_interrupt;
    sigaction(SIGINT, &action, NULL);
    int result = update_with_retries(argv[1], argv[2]);
    if (result == 1)
    {
        printf("cancelled; updating again\n");
        fflush(stdout);
        result = update_with_retries(argv[1], argv[2]);
    }
    return result == 0 ? 0 : 1;
}
