#pragma once

class QObject;
class SerialControl;

// The control on this platform's real serial ports: QSerialPort on Linux, the Win32
// communications API on Windows. Defined beside each implementation; the build compiles one.
SerialControl* newPortControl(QObject* parent = nullptr);
