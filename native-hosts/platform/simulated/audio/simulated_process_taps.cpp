#include "platform/simulated/audio/simulated_process_taps.h"

#include <algorithm>

#include "platform/simulated/audio/simulated_audio_world.h"

namespace orvix::platform::simulated {

namespace {

// The server's view of a source buffer: one buffer per plane.
void deliverAsBufferList(const PcmBufferView& view,
                         const std::function<void(const AudioBufferListView&)>& block) {
  std::vector<AudioBufferView> buffers;
  const std::size_t samples = view.format.samplesPerFrameInPlane();
  for (std::size_t plane = 0; plane < view.format.planeCount(); ++plane) {
    buffers.push_back(AudioBufferView{static_cast<std::uint32_t>(samples),
                                      view.frameLength * samples * view.format.bytesPerSample(),
                                      view.planes[plane]});
  }
  block(AudioBufferListView{buffers.data(), buffers.size(), view.captureTime});
}

}  // namespace

SimulatedProcessTaps::~SimulatedProcessTaps() {
  std::lock_guard lock(mutex_);
  for (auto& [id, proc] : ioProcs_) {
    if (proc.source) proc.source->stop();
  }
}

bool SimulatedProcessTaps::fails(ProcessTapStep step) {
  std::lock_guard lock(world_.specLock());
  return world_.spec().processTap.failingStep == step;
}

std::optional<AudioObjectId> SimulatedProcessTaps::processObject(ProcessId pid) {
  if (pid == kHostProcessId) return 1;
  std::lock_guard lock(world_.specLock());
  if (pid == kParentProcessId && world_.spec().processTap.parentHasProcessObject) return 2;
  return std::nullopt;
}

std::optional<AudioObjectId> SimulatedProcessTaps::createProcessTap(
    const ProcessTapDescription& description) {
  if (fails(ProcessTapStep::createTap)) return std::nullopt;
  ++world_.counters().tapsCreated;
  std::lock_guard lock(mutex_);
  const AudioObjectId id = nextId_++;
  taps_[id] = description;
  lastTapDescription_ = description;
  return id;
}

void SimulatedProcessTaps::destroyProcessTap(AudioObjectId tap) {
  std::lock_guard lock(mutex_);
  if (taps_.erase(tap) > 0) ++world_.counters().tapsDestroyed;
}

std::optional<AudioFormat> SimulatedProcessTaps::tapFormat(AudioObjectId tap) {
  if (fails(ProcessTapStep::readTapFormat)) return std::nullopt;
  {
    std::lock_guard lock(mutex_);
    if (taps_.count(tap) == 0) return std::nullopt;
  }
  std::lock_guard lock(world_.specLock());
  return world_.spec().processTap.source.format;
}

std::optional<AudioObjectId> SimulatedProcessTaps::createAggregateDevice(
    const AggregateDeviceDescription& description) {
  if (fails(ProcessTapStep::createAggregateDevice)) return std::nullopt;
  std::lock_guard lock(mutex_);
  const bool tapExists = std::any_of(taps_.begin(), taps_.end(), [&](const auto& tap) {
    return tap.second.uuid == description.tapUuid;
  });
  if (!tapExists) return std::nullopt;
  ++world_.counters().aggregateDevicesCreated;
  const AudioObjectId id = nextId_++;
  devicesAlive_[id] = true;
  return id;
}

void SimulatedProcessTaps::destroyAggregateDevice(AudioObjectId device) {
  std::lock_guard lock(mutex_);
  if (devicesAlive_.erase(device) > 0) ++world_.counters().aggregateDevicesDestroyed;
}

std::optional<IoProcId> SimulatedProcessTaps::createIoProc(
    AudioObjectId device, SerialQueue& queue,
    std::function<void(const AudioBufferListView&)> block) {
  if (fails(ProcessTapStep::createIoProc)) return std::nullopt;
  std::lock_guard lock(mutex_);
  if (devicesAlive_.count(device) == 0) return std::nullopt;
  ++world_.counters().ioProcsCreated;
  const IoProcId id = nextId_++;
  ioProcs_[id] = IoProc{device, &queue, std::move(block), nullptr};
  return id;
}

void SimulatedProcessTaps::destroyIoProc(AudioObjectId device, IoProcId proc) {
  std::lock_guard lock(mutex_);
  const auto found = ioProcs_.find(proc);
  if (found == ioProcs_.end() || found->second.device != device) return;
  if (found->second.source) found->second.source->stop();
  ioProcs_.erase(found);
  ++world_.counters().ioProcsDestroyed;
}

bool SimulatedProcessTaps::startDevice(AudioObjectId device, IoProcId proc) {
  if (fails(ProcessTapStep::startDevice)) return false;
  SourceSpec spec;
  Duration firstDelay{0};
  bool delivers = true;
  {
    std::lock_guard lock(world_.specLock());
    const auto& tap = world_.spec().processTap;
    spec = tap.source;
    firstDelay = tap.firstAudioDelay;
    delivers = tap.deliversAudio;
  }
  std::lock_guard lock(mutex_);
  const auto found = ioProcs_.find(proc);
  if (found == ioProcs_.end() || found->second.device != device || !devicesAlive_[device]) {
    return false;
  }
  ++world_.counters().deviceStarts;
  auto& io = found->second;
  if (!delivers || io.source) return true;
  io.source = std::make_unique<SimulatedSource>(world_.time(), spec);
  io.source->start(*io.queue, firstDelay, [this, block = io.block](const PcmBufferView& view) {
    if (!world_.systemStalled()) deliverAsBufferList(view, block);
  });
  return true;
}

void SimulatedProcessTaps::stopDevice(AudioObjectId device, IoProcId proc) {
  std::lock_guard lock(mutex_);
  const auto found = ioProcs_.find(proc);
  if (found == ioProcs_.end() || found->second.device != device) return;
  ++world_.counters().deviceStops;
  if (found->second.source) found->second.source->stop();
  found->second.source.reset();
}

std::optional<bool> SimulatedProcessTaps::deviceIsAlive(AudioObjectId device) {
  std::lock_guard lock(mutex_);
  const auto found = devicesAlive_.find(device);
  if (found == devicesAlive_.end()) return std::nullopt;
  return found->second;
}

std::optional<AudioListenerId> SimulatedProcessTaps::addDeviceAliveListener(
    AudioObjectId device, SerialQueue& queue, std::function<void()> onChange) {
  if (fails(ProcessTapStep::addAliveListener)) return std::nullopt;
  std::lock_guard lock(mutex_);
  if (devicesAlive_.count(device) == 0) return std::nullopt;
  ++world_.counters().aliveListenersAdded;
  const AudioListenerId id = nextId_++;
  listeners_[id] = Listener{device, &queue, std::move(onChange)};
  return id;
}

void SimulatedProcessTaps::removeDeviceAliveListener(AudioObjectId device,
                                                     AudioListenerId listener) {
  std::lock_guard lock(mutex_);
  const auto found = listeners_.find(listener);
  if (found == listeners_.end() || found->second.device != device) return;
  listeners_.erase(found);
  ++world_.counters().aliveListenersRemoved;
}

void SimulatedProcessTaps::simulateLoss() {
  std::lock_guard lock(mutex_);
  for (auto& [id, alive] : devicesAlive_) alive = false;
  for (auto& [id, proc] : ioProcs_) {
    if (proc.source) proc.source->stop();
  }
  notifyLocked();
}

void SimulatedProcessTaps::notifyAliveListeners() {
  std::lock_guard lock(mutex_);
  notifyLocked();
}

void SimulatedProcessTaps::notifyLocked() {
  for (auto& [id, listener] : listeners_) listener.queue->async(listener.onChange);
}

std::size_t SimulatedProcessTaps::liveObjects() {
  std::lock_guard lock(mutex_);
  return taps_.size() + devicesAlive_.size() + ioProcs_.size() + listeners_.size();
}

std::optional<ProcessTapDescription> SimulatedProcessTaps::lastTapDescription() {
  std::lock_guard lock(mutex_);
  return lastTapDescription_;
}

}  // namespace orvix::platform::simulated
