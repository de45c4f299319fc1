// The SIO service as the start-up sees it: the server's hooks and every family's objects.
#pragma once

// Fills the SIO server's connect and teardown hooks and each family's channel-object and
// TLP-consumer entries; undone by SioServiceUnregister.
void SioServiceRegister();
void SioServiceUnregister();

// At shutdown: waits for the command workers, then deletes every family's objects.
void SioServiceDelAllObjects();
