#pragma once
// Reboot requests from other processes, on a System V message queue.

#include <cstddef>

// Largest message text taken from the queue.
constexpr size_t request_text_max = 500;

// Message as received: the platform's message type, then the text.
struct request_msg {
    long mtype;
    char mtext[request_text_max];
};

// Thread body: takes every message from the queue and runs the reboot
// action for a request (type 1, non-empty text) while memory has run low.
void* msg_thread(void* unused);
