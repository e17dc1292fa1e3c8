// Who talks to the mount next. One call at a time, as the core needs, but
// not in arrival order: a call that stops motion (AbortSlew, MoveAxis at
// rate 0, Tracking off) goes before every waiting read, and among the
// others each client takes its turn, so no client waits behind more than
// one call of each other client however many it has queued.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

enum class Urgency : std::uint8_t {
    // Stops the mount moving: first, in arrival order.
    Motion,
    // Everything else: by turns between clients.
    Normal,
};

class MountQueue {
public:
    // The mount to one caller while it lives.
    class Turn {
    public:
        explicit Turn(MountQueue& queue, Urgency urgency = Urgency::Normal, std::uint32_t client = 0)
            : queue(queue), client(client)
        {
            queue.acquire(urgency, client);
        }
        ~Turn() { queue.release(); }
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

        // Between the parts of a call made in parts: every call that stops
        // motion waiting now goes first, and the mount then comes back to
        // this turn ahead of everything else. At once when none waits.
        void letStopsThrough() { queue.letStopsThrough(client); }

    private:
        MountQueue& queue;
        const std::uint32_t client;
    };

    // Callers waiting, not counting the one holding the mount.
    std::size_t waiting() const;
    // Nobody holds the mount or waits for it.
    bool idle() const;

private:
    struct Waiter {
        std::uint64_t ticket;
        Urgency urgency;
        std::uint32_t client;
    };

    void acquire(Urgency urgency, std::uint32_t client);
    void release();
    void letStopsThrough(std::uint32_t client);
    // Waits for the ticket's turn, and takes it; the mutex held.
    void takeTurn(std::unique_lock<std::mutex>& lock, std::uint64_t ticket, std::uint32_t client);
    // The waiter to go next; the queue's mutex held, at least one waiting.
    std::uint64_t chooseNext() const;

    mutable std::mutex mutex;
    std::condition_variable turnChanged;
    bool busy = false;
    // The ticket allowed to take the mount (0: none chosen yet).
    std::uint64_t chosen = 0;
    std::uint64_t nextTicket = 1;
    std::deque<Waiter> waiters;
    // When each client last had its turn (a count of turns), for the round.
    std::map<std::uint32_t, std::uint64_t> lastTurn;
    std::uint64_t turns = 0;
};
