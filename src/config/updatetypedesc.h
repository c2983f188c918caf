#ifndef UPDATETYPEDESC_H
#define UPDATETYPEDESC_H

#include <QString>

// The update channel an installation follows. The value is also the index of
// the channel's entry in the update server's version list.
enum class UpdateChannel {
    Stable = 0,
    Beta = 1,
    Alpha = 2
};

// What one run installs: channel, client type (base name of the product ini),
// target version (0 while none is known), its display name and the news text.
struct UpdateTypeDesc
{
    UpdateChannel channel = UpdateChannel::Stable;
    QString type;
    int version = 0;
    QString versionName;
    QString news;
};

#endif
