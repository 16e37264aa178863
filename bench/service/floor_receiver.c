/* The floor vorelind is measured against: the least a durable message receiver can do.
 * One epoll loop speaks the exchange (session request, START, TEXT, END or the single-block
 * message), writes each message to a file under a temporary name and defers the END answer.
 * One sync thread takes every message written while it synced the last as one group: syncfs (fsync
 * for a lone message), renames, a sync of the folder; then the loop answers the group's ENDs. No
 * log, no limits beyond bounded buffers.
 *
 * Usage: floor_receiver FOLDER PORT   (binds 127.0.0.1; prints "ready" once listening) */

#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

enum
{
    kInMax = 70000,
    kTextMax = 65536,
    kReplyMax = 64
};

struct conn
{
    int fd;
    int waiting; /* its END is answered when its group has landed */
    int dead;    /* the peer left while it was waiting */
    size_t have;
    size_t textLength;
    unsigned long long id;
    size_t replyLength;
    unsigned char reply[kReplyMax];
    struct conn* next; /* in a group */
    unsigned char in[kInMax];
    char text[kTextMax];
};

static int folder;
static int wake; /* eventfd: the sync thread's group has landed */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t work = PTHREAD_COND_INITIALIZER;
static struct conn* forming; /* written, waiting for the sync thread */
static struct conn* landed;  /* synced, to be answered by the loop */
static unsigned long long nextId;

static void nameOf(char* out, size_t size, const char* prefix, unsigned long long id)
{
    snprintf(out, size, "%s%016llx", prefix, id);
}

static void* syncer(void* unused)
{
    (void)unused;
    for (;;) {
        pthread_mutex_lock(&lock);
        while (!forming)
            pthread_cond_wait(&work, &lock);
        struct conn* group = forming;
        forming = NULL;
        pthread_mutex_unlock(&lock);

        /* A lone message: its own sync is cheaper than the whole file system's. */
        if (group->next) {
            syncfs(folder);
        } else {
            char name[40];
            nameOf(name, sizeof name, ".tmp-", group->id);
            const int fd = openat(folder, name, O_RDONLY | O_CLOEXEC);
            fsync(fd);
            close(fd);
        }
        for (struct conn* c = group; c; c = c->next) {
            char from[40], to[40];
            nameOf(from, sizeof from, ".tmp-", c->id);
            nameOf(to, sizeof to, "", c->id);
            renameat(folder, from, folder, to);
        }
        fsync(folder);

        struct conn* last = group;
        while (last->next)
            last = last->next;
        pthread_mutex_lock(&lock);
        last->next = landed;
        landed = group;
        pthread_mutex_unlock(&lock);
        uint64_t one = 1;
        if (write(wake, &one, sizeof one) < 0)
            abort();
    }
    return NULL;
}

static void drop(int epoll, struct conn* c)
{
    epoll_ctl(epoll, EPOLL_CTL_DEL, c->fd, NULL);
    close(c->fd);
    if (c->waiting)
        c->dead = 1;
    else
        free(c);
}

/* An SMB success reply echoing request's header, with the given words. */
static void smbReply(struct conn* c, const unsigned char* request, int words, uint16_t word)
{
    unsigned char* r = c->reply;
    memset(r, 0, kReplyMax);
    const size_t length = 32 + 1 + 2 * (size_t)words + 2;
    r[3] = (unsigned char)length;
    memcpy(r + 4, request, 32);
    memset(r + 4 + 5, 0, 4); /* status */
    r[4 + 9] = 0x80;         /* a reply */
    r[4 + 10] = r[4 + 11] = 0;
    r[4 + 32] = (unsigned char)words;
    if (words) {
        r[4 + 33] = (unsigned char)word;
        r[4 + 34] = (unsigned char)(word >> 8);
    }
    c->replyLength = 4 + length;
}

static int sendReply(struct conn* c)
{
    return send(c->fd, c->reply, c->replyLength, MSG_NOSIGNAL | MSG_DONTWAIT) ==
           (ssize_t)c->replyLength;
}

/* Appends a data block (0x01, length, data) found at p with n bytes left. */
static int appendBlock(struct conn* c, const unsigned char* p, size_t n)
{
    if (n < 3 || p[0] != 0x01)
        return 0;
    const size_t length = (size_t)p[1] | (size_t)p[2] << 8;
    if (length > n - 3)
        return 0;
    const size_t room = kTextMax - c->textLength;
    const size_t take = length < room ? length : room;
    memcpy(c->text + c->textLength, p + 3, take);
    c->textLength += take;
    return 1;
}

/* Writes the message under a temporary name; its answer waits for the group. */
static int finish(struct conn* c)
{
    char name[40];
    c->id = nextId++;
    nameOf(name, sizeof name, ".tmp-", c->id);
    const int fd = openat(folder, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    const int ok = write(fd, c->text, c->textLength) == (ssize_t)c->textLength;
    close(fd);
    c->textLength = 0;
    c->waiting = 1;
    pthread_mutex_lock(&lock);
    c->next = forming;
    forming = c;
    pthread_cond_signal(&work);
    pthread_mutex_unlock(&lock);
    return ok;
}

/* One frame; 0 closes the connection. */
static int frame(struct conn* c, unsigned char type, const unsigned char* body, size_t n)
{
    if (type == 0x85)
        return 1;
    if (type == 0x81) {
        static const unsigned char positive[4] = {0x82, 0, 0, 0};
        memcpy(c->reply, positive, 4);
        c->replyLength = 4;
        return sendReply(c);
    }
    if (type != 0x00 || n < 35 || memcmp(body, "\xffSMB", 4) != 0)
        return 0;
    const unsigned char command = body[4];
    const size_t words = body[32];
    const size_t bytesAt = 33 + 2 * words + 2;
    if (bytesAt > n)
        return 0;
    const unsigned char* bytes = body + bytesAt;
    const size_t byteCount = n - bytesAt;
    switch (command) {
    case 0xD5:
        c->textLength = 0;
        smbReply(c, body, 1, 1);
        return sendReply(c);
    case 0xD7:
        smbReply(c, body, 0, 0);
        return appendBlock(c, bytes, byteCount) && sendReply(c);
    case 0xD6:
        smbReply(c, body, 0, 0);
        return finish(c);
    case 0xD0: {
        /* 0x04 from NUL 0x04 to NUL, then the block */
        size_t at = 0;
        for (int strings = 0; strings < 2; ++strings) {
            const unsigned char* nul = memchr(bytes + at, 0, byteCount - at);
            if (!nul)
                return 0;
            at = (size_t)(nul - bytes) + 1;
        }
        c->textLength = 0;
        smbReply(c, body, 0, 0);
        return appendBlock(c, bytes + at, byteCount - at) && finish(c);
    }
    default:
        return 0;
    }
}

/* Every whole frame buffered, unless an END is waiting for its group. */
static int parse(struct conn* c)
{
    size_t at = 0;
    while (!c->waiting && c->have - at >= 4) {
        const unsigned char* h = c->in + at;
        const size_t length = ((size_t)(h[1] & 1) << 16) | (size_t)h[2] << 8 | h[3];
        if (4 + length > kInMax)
            return 0;
        if (c->have - at < 4 + length)
            break;
        if (!frame(c, h[0], h + 4, length))
            return 0;
        at += 4 + length;
    }
    memmove(c->in, c->in + at, c->have - at);
    c->have -= at;
    return 1;
}

static int readable(struct conn* c)
{
    for (;;) {
        if (c->have == kInMax)
            return 1; /* full: read again once parsed */
        const ssize_t r = recv(c->fd, c->in + c->have, kInMax - c->have, MSG_DONTWAIT);
        if (r > 0) {
            c->have += (size_t)r;
            continue;
        }
        if (r < 0 && (errno == EAGAIN || errno == EINTR))
            return 1;
        return 0;
    }
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s FOLDER PORT\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    folder = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in address = {.sin_family = AF_INET,
                                  .sin_port = htons((uint16_t)atoi(argv[2]))};
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (folder < 0 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 ||
        listen(listener, 128) != 0) {
        perror("floor_receiver");
        return 1;
    }
    wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event event = {.events = EPOLLIN, .data.ptr = NULL};
    epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
    event.data.ptr = &wake;
    epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &event);
    pthread_t thread;
    pthread_create(&thread, NULL, syncer, NULL);
    printf("ready\n");
    fflush(stdout);

    struct epoll_event events[64];
    for (;;) {
        const int n = epoll_wait(epoll, events, 64, -1);
        int answer = 0; /* after the batch: an answer may drop a connection it still names */
        for (int i = 0; i < n; ++i) {
            if (events[i].data.ptr == NULL) {
                int fd;
                while ((fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    struct conn* c = calloc(1, sizeof *c);
                    if (!c) {
                        close(fd);
                        continue;
                    }
                    c->fd = fd;
                    struct epoll_event e = {.events = EPOLLIN | EPOLLRDHUP, .data.ptr = c};
                    epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &e);
                }
            } else if (events[i].data.ptr == &wake) {
                uint64_t count;
                answer = read(wake, &count, sizeof count) > 0;
            } else {
                struct conn* c = events[i].data.ptr;
                if (!readable(c) || !parse(c))
                    drop(epoll, c);
            }
        }
        if (!answer)
            continue;
        pthread_mutex_lock(&lock);
        struct conn* group = landed;
        landed = NULL;
        pthread_mutex_unlock(&lock);
        while (group) {
            struct conn* c = group;
            group = c->next;
            c->waiting = 0;
            if (c->dead)
                free(c);
            else if (!sendReply(c) || !parse(c))
                drop(epoll, c);
        }
    }
}
