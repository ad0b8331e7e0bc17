#include "cli_texts.h"

namespace CliTexts {

const Bilingual kUpdateSuccess = {"升级成功", "Update success"};
const Bilingual kUpdateFailed = {"升级失败!", "Update failed!"};
const Bilingual kAlreadyCurrent = {"已是固件版本 %1（设备报告 %2），未发送任何数据",
                                   "Already runs %1 (the device reports %2): nothing sent"};
const Bilingual kHistoryNotWritten = {"升级记录未能写入（--require-history）: %1",
                                      "The upgrade's record was not written (--require-history): %1"};
const Bilingual kHistoryNotWritable = {"升级记录无法写入（--require-history），未升级任何设备: %1",
                                       "The upgrade history cannot take a record (--require-history), so nothing was "
                                       "upgraded: %1"};
const Bilingual kDoneNotRecorded = {"%1，但升级记录未能写入（--require-history）",
                                    "%1, but its record was not written (--require-history)"};
const Bilingual kPortNotOpenedByJob = {"升级开始时无法打开端口 %1", "Port %1 could not be opened when the job started"};
const Bilingual kImageNotLoaded = {"固件文件无法加载: %1", "The firmware image could not be loaded: %1"};
const Bilingual kStoppedByTimeout = {"超过 %1 秒 (--timeout)，升级已停止", "Stopped after %1 s (--timeout)"};
const Bilingual kStoppedBySigint = {"收到 SIGINT，升级已停止", "Stopped by SIGINT"};
const Bilingual kStoppedBySigterm = {"收到 SIGTERM，升级已停止", "Stopped by SIGTERM"};
const Bilingual kStoppedBySighup = {"收到 SIGHUP（终端已关闭），升级已停止", "Stopped by SIGHUP (the terminal was closed)"};
const Bilingual kJobDidNotEnd = {"停止后 %1 秒内升级未结束，强制退出", "The job did not end within %1 s of the stop; exiting"};
const Bilingual kNoFamilyDevice = {"未连接任何设备", "No device of the family is attached"};
const Bilingual kNoDeviceAtPort = {"%1 处未连接任何设备", "No device of the family is attached at %1"};
const Bilingual kSeveralFamilyDevices = {"连接了多个设备，手动切换只能连接一个",
                                       "Several devices of the family are attached; the switch needs exactly one"};
const Bilingual kBaseInApp = {"主机运行应用程序", "The base runs its application"};
const Bilingual kBaseInBoot = {"主机运行引导程序", "The base runs its bootloader"};
const Bilingual kBaseNotSwitched = {"主机在 %2 秒内未报告%1", "The base did not report its %1 within %2 s"};
const Bilingual kBaseAlreadyInApp = {"主机已在运行应用程序，未重启", "The base already runs its application; nothing was restarted"};
const Bilingual kBaseAlreadyInBoot = {"主机已在运行引导程序，未重启", "The base already runs its bootloader; nothing was restarted"};
const Bilingual kConfigInFile = {"%1 (配置文件 %2)", "%1 (configuration file %2)"};
const Bilingual kConfigIsFolder = {"%1 (%2 是文件夹：请指定其中的配置文件)",
                                   "%1 (%2 is a folder: name the configuration file in it)"};
const Bilingual kNoConfigInFolder = {"%1 (在 %2 中；请用 --config FILE 指定)",
                                     "%1 (in %2; name one with --config FILE)"};
const Bilingual kConfigWrongType = {"配置文件 %1: %2 应为%3，实际为 %4", "Configuration file %1: %2 must be %3, not %4"};
const Bilingual kFamilyDeviceId = {"设备系列中的设备ID(%1到%2)", "a device id of the family (%1 to %2)"};
const Bilingual kTargetNotConfigured = {"配置文件无效！配置文件 %1 的 firmware 中没有 \"%2\" (其中有: %3)",
                                        "Invalid configuration file! Configuration file %1 has no \"%2\" in its "
                                        "firmware (it has: %3)"};
const Bilingual kNoVariantConfigured = {"配置文件 %1: firmware.%2.series 为空，\"%2\" 没有配置任何固件",
                                        "Configuration file %1: firmware.%2.series is empty: no firmware variant is "
                                        "configured for %2"};
const Bilingual kDeviceNotUpgradable = {"配置文件 %1: firmware.%2.dev_id 为 %3，只有设备 %4 到 %5 可以升级",
                                        "Configuration file %1: firmware.%2.dev_id is %3, but only devices %4 to %5 "
                                        "can be upgraded"};
const Bilingual kModeApp = {"应用程序", "application"};
const Bilingual kModeBoot = {"引导程序", "bootloader"};

}  // namespace CliTexts
