// The state manager's engine: the system-wide table of alarm and recording
// states, the client lists, the weekly schedule, and the rules that relay
// states between the programs that produce them and those that act on them.
//
// It owns no OS resource: every message it sends goes through the StateIo
// callbacks (statekeeper's main loop sends them on SysV queues, the unit
// tests record them). Times come in as arguments; the local time zone is
// whatever TZ the process has set. Single-threaded; the stop flag is polled
// by the send callback, nothing here blocks.
#pragma once

#include <cstdint>
#include <ctime>

#include "statekeeper/schedule.h"
#include "statekeeper/state_protocol.h"

constexpr int STATE_MAX_CLIENTS = 24;

// Where the engine's messages go.
struct StateIo {
  void* ctx = nullptr;
  // Sends m to queue qid. Returns 0, or -1 when it could not be delivered.
  int (*send)(void* ctx, int qid, const StateMessage& m) = nullptr;
  // True while queue qid exists (a registered single client that has gone
  // away without unregistering may be replaced). Null: always true.
  bool (*alive)(void* ctx, int qid) = nullptr;
};

struct StateKeeper {
  uint8_t state[STATE_TABLE_SIZE];   // value per state number
  uint8_t common[STATE_TABLE_SIZE];  // alarm byte per state (0 while the value is 0)
  uint8_t common_evt;                // last general-event value sent

  int32_t saver_id[STATE_MAX_CLIENTS];        // recorders (class 0)
  int32_t online_id[STATE_MAX_CLIENTS];       // live servers (class 1)
  int32_t clients_notify[STATE_MAX_CLIENTS];  // receivers of recording states
  int32_t clients[STATE_MAX_CLIENTS];         // classes 2 and 3
  int32_t rsevent_id;                         // the serial alarm program (class 4)
  int32_t generic_cli_id;                     // takes over its outputs (class 5)

  uint32_t day[7];        // hour masks by C weekday, bit h = hour h
  int32_t t_mode;         // schedule mode
  uint32_t current_day;   // today's mask
  uint32_t current_hour;  // 1 << hour

  int32_t own_id;  // statekeeper's queue, the reply id of what it sends
  StateIo io;
};

// Resets every table, takes the schedule (read once at start), and sets
// today's mask and the hour bit from local time now.
void state_keeper_init(StateKeeper* k, const WeekSchedule& schedule, int32_t own_id, StateIo io,
                       time_t now);

// Handles one message from a client (register, state, unregister, ...).
void state_keeper_message(StateKeeper* k, const StateMessage& m);

// Handles a hub notice that marks a new group: re-evaluates the schedule at
// gop_time (state 21 to recorders and live servers when the day mask or the
// hour changed) and repeats the active serial alarm inputs to the recorders.
void state_keeper_gop(StateKeeper* k, int32_t gop_time);

// Tells every client that statekeeper stops (type 4, once per queue).
void state_keeper_stop(StateKeeper* k);

// The schedule state (21) for a recorder and for a live server now.
uint8_t state_keeper_record_allowed(const StateKeeper* k);
uint8_t state_keeper_live_allowed(const StateKeeper* k);
