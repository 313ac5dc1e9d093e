// filelock: whole-file advisory write locks (fcntl record locks from offset
// 0 over the whole length).  Each call answers fcntl's result, 0 or -1 with
// errno set; the caller decides what a refused lock means.
#pragma once

int lock_try_write(int fd);   // exclusive; fails at once when held elsewhere
int lock_wait_write(int fd);  // exclusive; waits until granted
int lock_release(int fd);
