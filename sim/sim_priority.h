#pragma once

// Real devices answer on processors of their own, whatever load the host is under. A simulated
// family that shares the host's processors with a busy test run answers late instead, and a job
// takes a late answer for a lost one. With UPGRADER_SIM_REALTIME set (the test runs set it), a
// family's thread asks for round-robin real-time scheduling, or where that is not allowed a
// higher priority, so that it keeps a device's pace; otherwise it runs as any other thread.
namespace SimPriority {

constexpr char kVariable[] = "UPGRADER_SIM_REALTIME";

// Raises the calling thread when the variable asks for it; quietly leaves it as it is when the
// system refuses.
void RaiseCallingThreadIfAsked();

}  // namespace SimPriority
