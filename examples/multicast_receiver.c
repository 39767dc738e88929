/*
 * UDP multicast receiver: joins a group on every interface of the machine
 * and prints the datagrams that arrive.
 *
 *   multicast_receiver [GROUP [PORT [COUNT]]]
 *
 * GROUP defaults to 239.255.42.99, PORT to 5007 (0 lets the system choose,
 * and the chosen port is printed), COUNT to 1 datagram. The program waits at
 * most 10 seconds for each datagram. Try it with socat (apt-get install
 * socat), sending on loopback so that the datagram stays on this machine:
 *
 *   ./multicast_receiver 239.255.42.99 5007 1 &
 *   echo hello | socat - UDP4-DATAGRAM:239.255.42.99:5007,ip-multicast-if=127.0.0.1
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <davro_kuv.h>

int main(int argc, char **argv) {
    const char *group = argc > 1 ? argv[1] : "239.255.42.99";
    int port = argc > 2 ? atoi(argv[2]) : 5007;
    int count = argc > 3 ? atoi(argv[3]) : 1;

    /* 1. A handle with its defaults; the 1 also starts the platform's
     *    network layer, which delete stops again. */
    kuvnet *receiver = NULL;
    uint32_t result = kuv_xapi_kuvnet_init(&receiver, 1);
    if (result != 1) {
        fprintf(stderr, "init failed: 0x%08X\n", (unsigned)result);
        return 1;
    }

    /* 2. Fill the record between init and create: a passive (is_server)
     *    UDP endpoint whose peer is the group is a multicast receiver. With
     *    family 0 the group's own family (IPv4 or IPv6) is used. */
    receiver->protocol_type = KUVNET_UDP;
    receiver->is_server = 1;
    receiver->port = port;
    kuv_xapi_kuvnet_set_remote(receiver, group, 0);

    /* 3. Create binds the wildcard address and joins the group on every
     *    interface address of its family. A failure is also kept in
     *    receiver->error_code. */
    result = kuv_xapi_kuvnet_create(receiver);
    if (result != 1) {
        fprintf(stderr, "create failed: 0x%08X\n", (unsigned)result);
        kuv_xapi_kuvnet_delete(&receiver);
        return 1;
    }
    /* With port 0 create wrote the port the system chose back. */
    printf("listening on %s port %d\n", group, (int)receiver->port);
    fflush(stdout);

    /* 4. Plain datagrams are read from the endpoint's socket with the
     *    library's socket wrapper, which waits at most the time-out. It
     *    answers 0 when the time-out passed, and -1 both for an empty
     *    datagram (errno 0) and for a failure (errno says which). */
    int status = 0;
    for (int received = 0; received < count;) {
        char text[1500];
        struct sockaddr_storage sender;
        uint32_t sender_length = sizeof sender;
        errno = 0;
        int32_t length = kuv_xapi_recvfrom(receiver->socket, text, sizeof text - 1,
                                           (struct sockaddr *)&sender, &sender_length, 10000);
        if (length == 0) {
            fprintf(stderr, "no datagram within 10 s\n");
            status = 1;
            break;
        }
        if (length < 0 && errno == 0) continue; /* an empty datagram: nothing to print */
        if (length < 0) {
            fprintf(stderr, "receive failed: %s\n", strerror(errno));
            status = 1;
            break;
        }
        ++received;
        text[length] = '\0';
        char address[64];
        kuv_xapi_inet_stop((struct sockaddr *)&sender, address, sizeof address);
        printf("%d bytes from %s: %s\n", (int)length, address, text);
        fflush(stdout);
    }

    /* 5. Delete closes the socket (leaving the group), frees the handle and
     *    clears the pointer. */
    kuv_xapi_kuvnet_delete(&receiver);
    return status;
}
