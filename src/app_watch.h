#pragma once
// Watch that the supervised application is running.

// 0 when the application's path is in the first 256 bytes of the file,
// 1 when it is not, -1 when the file cannot be opened.
int match_app(const char* path);

// The search behind match_app(), for any open file: 0 found, 1 not.
int match_app_listing(int fd);

// Thread body: every 30 s captures the process listing, and restarts the
// device when the application is not in it.
void* mornitor_thread(void* unused);
