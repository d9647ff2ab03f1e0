/* qv7host: the reference host. It stands in for the host application: loads a
 * module, registers it, and raises its events or starts its server, handling
 * the module's window messages on its main thread meanwhile. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host/host.h"

static void usage(void)
{
    fprintf(stderr,
            "usage: qv7host [--module PATH] COMMAND [ARGS]\n"
            "  info                       register the plug-in, print title, entry and mask\n"
            "  serve --dir DIR            run a collector storing files in DIR\n"
            "  record [--number N] [--time YYYY-MM-DDTHH:MM:SS] [--wait S] FILE...\n"
            "                             raise one record event per CSV file\n"
            "  send [--wait S]            raise the send event\n"
            "  settings                   open the settings dialog\n");
}

/* Prints the registration: what a host shows in its menu and calls. */
int cmd_info(host_module *m, int argc, char **argv)
{
    unsigned char info[1024];
    memset(info, 0, sizeof info);
    if (!m->get_plugin_info(NULL, 0, info)) {
        fprintf(stderr, "get_plugin_info(0) returned 0\n");
        return 1;
    }
    printf("title: %s\n", (const char *)info + PLUGIN_INFO_TITLE);
    printf("function: %s\n", (const char *)info + PLUGIN_INFO_FUNCTION_NAME);
    printf("mask: 0x%X\n", (unsigned)m->initialize(NULL, 0));
    return 0;
}

int main(int argc, char **argv)
{
    const char *module_path = NULL;
    int i = 1;
    while (i < argc && strncmp(argv[i], "--", 2) == 0) {
        if (strcmp(argv[i], "--module") == 0 && i + 1 < argc) {
            module_path = argv[i + 1];
            i += 2;
        } else if (strcmp(argv[i], "--help") == 0) {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }
    if (i >= argc) {
        usage();
        return 2;
    }
    const char *command = argv[i++];
    int (*run)(host_module *, int, char **) = NULL;
    if (strcmp(command, "info") == 0)
        run = cmd_info;
    else if (strcmp(command, "serve") == 0)
        run = cmd_serve;
    else if (strcmp(command, "record") == 0)
        run = cmd_record;
    else if (strcmp(command, "send") == 0)
        run = cmd_send;
    else if (strcmp(command, "settings") == 0)
        run = cmd_settings;
    if (!run) {
        fprintf(stderr, "unknown command: %s\n", command);
        usage();
        return 2;
    }

    host_module m;
    if (!host_load_module(module_path, &m))
        return 3;
    int status = run(&m, argc - i, argv + i);
    fflush(stdout);
    return status;
}
