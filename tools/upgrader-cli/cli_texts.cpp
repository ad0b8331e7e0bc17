#include "cli_texts.h"

namespace CliTexts {

const Bilingual kUpdateSuccess = {"升级成功", "Update success"};
const Bilingual kUpdateFailed = {"升级失败!", "Update failed!"};
const Bilingual kAlreadyCurrent = {"已是固件版本 %1（设备报告 %2），未发送任何数据",
                                   "Already runs %1 (the device reports %2): nothing sent"};
const Bilingual kHistoryNotWritten = {"升级记录未能写入（--require-history）: %1",
                                      "The upgrade's record was not written (--require-history): %1"};
const Bilingual kPortNotOpened = {"无法打开端口 %1: %2", "Port %1 could not be opened: %2"};
const Bilingual kPortGone = {"产品ID %1 的端口已不存在", "The port of product id %1 is gone"};
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
const Bilingual kModeApp = {"应用程序", "application"};
const Bilingual kModeBoot = {"引导程序", "bootloader"};

}  // namespace CliTexts
