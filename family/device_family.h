#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

// The device family in one place: the five targets, the device ids with a fixed role on the bus,
// and what each role asks of the host (its pace, its frame sizes, its waits). Where a device's
// rule is a number it is read from here; where it is behaviour (the boot entry through the base,
// the display's retarget, the motor's one-request hardware text) the engine keeps the code and
// asks here only which role a device id has.

// Device ids with a fixed role on the bus.
namespace DeviceId {
constexpr int Base = 2;
constexpr int Motor = 3;
constexpr int Display = 4;
constexpr int SlowBus = 5;  // a target behind the base on the slow bus: small chunks, 10-tick pacing
}  // namespace DeviceId

// A device's answer to the mode query; Absent stands for no device or no answer.
namespace Mode {
constexpr uint8_t Absent = 0;
constexpr uint8_t Boot = 1;
constexpr uint8_t App = 2;
}  // namespace Mode

// How the job loop paces its passes to one device: 1 ms ticks a pass waits before it sends, and
// the bytes one pass may send.
struct Pacing {
    int pass_ticks;            // requests and answers
    int streaming_pass_ticks;  // section data
    int max_bytes_per_pass;

    double StreamingBytesPerMs() const { return double(max_bytes_per_pass) / streaming_pass_ticks; }
};

// A device id's role and the numbers the sequence keeps to with it. Waits of a second or more are
// the sequence's long waits (scaled in tests by the engine, never here).
struct DeviceRole {
    int dev_id;
    const char *role;
    Pacing pacing;
    // Data bytes behind the frame's 2-byte offset. The slow bus takes chunks so small that they
    // fit even when every byte is a doubled 0x7E; the others are shortened around 0x7E bytes.
    int max_data_chunk;
    bool chunk_fits_escaped;
    // Takes sections uncompressed (no compressed length in the header): it writes what it receives
    // straight to its flash. An image with a compressed section is refused for it.
    bool raw_sections;
    bool behind_base;     // reached through the base: boot entry and return go through it
    bool one_request_hw;  // the hardware text comes in one 24-byte answer, not in 16-byte chunks
    bool upgradable;      // the host upgrades it: its hardware text is asked before a launch
    // Its job first sends the motor to its bootloader, off the bus it shares, unless the base
    // keeps the motor off by itself (BaseKeepsMotorOffBus); the job's end brings it back.
    bool sends_motor_off_bus;
    // A target here that reports kSwappedDisplayModel is the display in its other role.
    bool may_be_swapped_display;
    int hw_query_timeout_ms;    // answers to the hardware query before a launch
    int verify_wait_ms;         // header and digest answers of the final check
    int boot_settle_ms;         // after the base's restart, before the target must answer from boot
    int after_flag_extra_ms;    // more time to restart after the upgrade flag
    int target_check_delay_ms;  // before the target is asked whether it runs its application
    // A flash mismatch at or above this address sends only the sections from here on again; 0:
    // the whole image (the display restarts from its upper part).
    uint32_t restart_from;
};

// Every device id of the family, in id order.
const std::vector<DeviceRole> &DeviceRoles();
// The role of a device id; an id without a fixed role is a plain target behind the base.
const DeviceRole &RoleOf(int dev_id);

// Questions about a device id that the code outside this table asks instead of comparing ids.
// A device of the family: any other id reaches none (or, by its low four bits, another one).
bool IsFamilyDevice(int dev_id);
// A device the host upgrades (RoleOf(dev_id).upgradable for an id of the family).
bool IsUpgradable(int dev_id);
// The ids the host upgrades, in id order.
std::vector<int> UpgradableIds();
// The base: the unit's USB device, whose restart takes the link away, and the relay of the others.
bool IsBase(int dev_id);
// The motor: it stays on the bus behind the base, and its return to its application is confirmed.
bool IsMotor(int dev_id);
// The display: powered only by the base's application, so dark while the base is in its bootloader.
bool IsDisplay(int dev_id);

// A target as the operator knows it: its name keys the configuration, the status, the window's
// buttons and the command's options.
struct TargetFacts {
    const char *name;
    int dev_id;      // its usual device id; the configuration's entry has the last word
    int poll_tries;  // mode queries per status poll: the steering wheel and the display answer late
};

// The five targets in the window's order.
const std::vector<TargetFacts> &Targets();
QStringList TargetNames();
// The facts of a target; null for a name outside the family (a configuration may hold others).
const TargetFacts *TargetNamed(const QString &name);
// Mode queries the status poll makes for a configured target (known or not).
int PollTries(const QString &name);

// A device-5 target, or the display behind it, reporting this model is the display in its other
// role: the job is switched over to device 4.
constexpr char kSwappedDisplayModel[] = "KT47-P02-HW QX-LN";

// Whether a base whose hardware text (or a text it is part of) is hw_text keeps the motor off the
// bus by itself, so that a job need not send the motor away.
bool BaseKeepsMotorOffBus(const QString &hw_text);
