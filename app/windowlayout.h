#ifndef WINDOWLAYOUT_H
#define WINDOWLAYOUT_H

#include <QRect>
#include <QString>

// What a person sees of the updater's window and where its one button lies,
// in the window's own coordinates at a scale of 100 %.
namespace WindowLayout {

inline QString title()
{
    return QStringLiteral("Velmora升级程序1.1");
}

inline QString buttonText()
{
    return QStringLiteral("开始更新");
}

inline QRect buttonGeometry()
{
    return QRect(200, 10, 80, 30);
}

} // namespace WindowLayout

#endif // WINDOWLAYOUT_H
