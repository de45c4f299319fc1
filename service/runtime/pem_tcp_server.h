// The loopback TCP servers' socket plumbing: the listening socket of a server that only the
// host's own clients reach, and the options every accepted client socket gets.
#pragma once

// Shuts down and closes *pSock when it is open, and leaves it -1.
void PemTcpCloseSock(int* pSock);

// Closes *pSock, then opens a non-blocking IPv4 listening socket on Port, bound to the
// loopback device "lo" so no other interface reaches it. Returns 1 with the socket in *pSock,
// or 0 after logging "<pLogPrefix> (T:<Port>), <step> fail, errno:<n>". With pLastFailure, a
// failure is logged only when the previous attempt did not fail at the same step (a listen
// thread retrying every tick must not flood the log); success clears it.
int PemTcpListenSockCreate(int* pSock, int Port, const char* pLogPrefix, const char** pLastFailure = nullptr);

// Buffers, a 1 ms receive time-out and keep-alive (10 s idle, 1 s apart, 3 probes) for an
// accepted client socket.
void PemTcpClientSockOptions(int Sock);
