// Which addresses are served, starting and stopping their servers, following address changes.
#pragma once

// Clears the subscriptions and starts one listen thread per served address (at most five).
void startServers();
// Closes every multicast socket; the listen threads then shut their addresses down.
void stopServers();
// stopServers, 1 s pause, startServers.
void restartServers();
void setRestartOnAddressChange(int flag);

using ServerOperation = void (*)();
// Starts the address-change thread that runs `operation` on each change while the flag is set.
void startAddressChangeThread(ServerOperation operation, int flag);
// Ends the address-change thread and waits for it; afterwards no restart can happen.
void stopAddressChangeThread();
