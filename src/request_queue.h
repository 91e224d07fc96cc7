#pragma once
// The request queue's key, shared by the daemon, the request tool and
// anything else on the device that sends requests: both halves must make
// the same key with ftok().

// Path and project identifier ('a') given to ftok().
constexpr char request_queue_path[] = "/plorn";
constexpr int request_queue_id = 97;

// Message type of a reboot request.
constexpr long request_type = 1;
