#include "window_texts.h"

namespace WindowTexts {

const Caption kCaptions[13] = {
    {"btn_start_main", {"基座升级", "Update\r\nBase"}},
    {"btn_start_motor", {"电机升级", "Update\r\nMotor"}},
    {"btn_start_steer", {"方向盘升级", "Update\r\nSteering"}},
    {"btn_start_display", {"显示屏升级", "Update\r\nDisplay"}},
    {"btn_start_pedals", {"踏板升级", "Update\r\nPedals"}},
    {"label_upgrade", {"进度：", "Progress:"}},
    {"label_verify", {"校验：", "Verify:"}},
    {"btn_open_config", {"打开配置文件", "Open Config"}},
    {"btn_eol_test", {"下线检测", "Eol Test"}},
    {"btn_main_go_app", {"基座回App", "Base Go App"}},
    {"btn_main_go_boot", {"基座进Boot", "Base Go Boot"}},
    {"btn_stop", {"停止升级", "Stop"}},
    {"btn_zh_en", {"中/en", "en/中"}},
};

const Bilingual kConfigInvalid = {"配置文件无效!", "The configuration file is invalid!"};
const Bilingual kNotUpgrading = {"未处于升级状态!", "Not upgrading!"};
const Bilingual kUpdateFailed = {"升级失败!", "Update failed!"};
const Bilingual kUpdateSuccess = {"升级成功: %1", "Update success: %1"};
const Bilingual kUpdating[3] = {
    {"升级中.", "updating."},
    {"升级中..", "updating.."},
    {"升级中...", "updating..."},
};

}  // namespace WindowTexts
