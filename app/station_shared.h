// The part of the Station the workers co-own, and what the station's source
// files share. Internal to the station (app/station*.cpp).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "app/station.h"

namespace kx20 {

inline constexpr const char* kMessageCaption = "KX20 Production Tool";

// What the workers co-own with the console: everything they touch lives here,
// so a worker still running when the console goes away never reaches freed
// memory.
struct Station::Shared {
  Shared(Clock& clock, const std::string& logPath, std::string configFile, Durability durable)
      : images(clock),
        log(clock, logPath, durable),
        configPath(std::move(configFile)),
        durability(durable) {
    log.SetNotices(&notices);
  }

  // The serial-number step (worker thread, setupLock held). It needs nothing
  // of the console: it reads the change-serial-number member as last
  // exchanged, renews the working table, publishes the settings, and leaves
  // the panel's new contents for the console thread to show.
  SerialStepResult SerialStep(const SerialRequest& request) {
    ConfigTable table = WorkingTable();
    auto panel = std::make_shared<PanelContents>();
    SerialStepContext context;
    context.changeSerialNumber = changeSerialNumber.load();
    context.configPath = configPath;
    context.view = panel.get();
    context.table = &table;
    context.store = &settings;
    context.durability = durability;
    context.source = serialSource;
    context.request = request;
    const SerialStepResult result = AdvanceSerialNumber(context);
    if (result.Failed()) notices.Post("A disk was not programmed: " + result.reason);
    if (result.status == SerialStepStatus::kAllocated) {
      SetWorkingTable(table);
      std::lock_guard<std::mutex> lock(panelMutex);
      loadedPanel = std::move(panel);
    }
    return result;
  }

  ConfigTable WorkingTable() {
    std::lock_guard<std::mutex> lock(tableMutex);
    return workingTable;
  }
  void SetWorkingTable(const ConfigTable& table) {
    std::lock_guard<std::mutex> lock(tableMutex);
    workingTable = table;
  }
  // The panel contents of the last serial step the console has not shown yet.
  std::shared_ptr<const PanelContents> TakeLoadedPanel() {
    std::lock_guard<std::mutex> lock(panelMutex);
    return std::exchange(loadedPanel, nullptr);
  }

  OperatorNotices notices;
  StatusQueue queue;
  DiscoveryFlags flags;
  SettingsStore settings;
  DiskImageStore images;
  ProductionLogWriter log;
  // Every production worker's page, for the disks a close cuts off.
  WorkerLedger ledger;
  ProductionEnvironment env;
  const std::string configPath;
  const Durability durability;
  SerialNumberSource serialSource;  // line mode, else empty
  // The panel's change-serial-number member, as last exchanged.
  std::atomic<std::int32_t> changeSerialNumber{0};

  std::mutex tableMutex;
  ConfigTable workingTable{};
  std::mutex panelMutex;
  std::shared_ptr<const PanelContents> loadedPanel;
};

}  // namespace kx20
