#include "upgradefile.h"

#include "updatedata.h"
#include "updateprofile.h"
#include "updateqc.h"
#include "updatesyslog.h"

namespace {

template <typename Upgrade>
bool runUpgrade()
{
    Upgrade upgrade;
    return upgrade.update();
}

} // namespace

const QVector<UpgradeFile> &upgradeFiles()
{
    static const QVector<UpgradeFile> files = {
        { "profile.db", true, UpdateProfile::blocks, runUpgrade<UpdateProfile> },
        { "data.db", true, UpdateData::blocks, runUpgrade<UpdateData> },
        { "qc.db", false, UpdateQc::blocks, runUpgrade<UpdateQc> },
        { "syslog.db", true, UpdateSyslog::blocks, runUpgrade<UpdateSyslog> },
    };
    return files;
}
