// Qt's QSerialPort, used as a Qt application uses it: readAll on readyRead,
// writes topped up on bytesWritten, all inside the thread's event loop. The
// handlers are lambdas, so the benchmark needs no moc.
#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

#include <functional>

#include "tools/bench/bench_link.h"

namespace qx17::bench {

namespace {

const std::uint8_t* Bytes(const QByteArray& data) {
    return reinterpret_cast<const std::uint8_t*>(data.constData());
}

class QSerialPortLink final : public LinkUnderTest {
  public:
    std::string Name() const override { return "QSerialPort (Qt " + std::string(qVersion()) + ")"; }
    std::string DelayMeaning() const override { return "write -> readyRead (no interval)"; }

    bool Open(const std::string& slave_path, std::string& problem) override {
        port_ = std::make_unique<QSerialPort>();
        port_->setPortName(QString::fromStdString(slave_path));
        if (!port_->open(QIODevice::ReadWrite)) {
            problem = "open: " + port_->errorString().toStdString();
            port_.reset();
            return false;
        }
        if (!port_->setBaudRate(QSerialPort::Baud9600) || !port_->setDataBits(QSerialPort::Data8) ||
            !port_->setParity(QSerialPort::NoParity) || !port_->setStopBits(QSerialPort::OneStop) ||
            !port_->setFlowControl(QSerialPort::NoFlowControl)) {
            problem = "line settings: " + port_->errorString().toStdString();
            Close();
            return false;
        }
        port_error_.clear();
        QObject::connect(port_.get(), &QSerialPort::errorOccurred,
                         [this](QSerialPort::SerialPortError error) {
                             if (error != QSerialPort::NoError && port_error_.empty()) {
                                 port_error_ = port_->errorString().toStdString();
                                 Quit();
                             }
                         });
        return true;
    }

    void Close() override {
        if (port_) {
            port_->close();
            port_.reset();
        }
    }

    bool Receive(DeviceProcess& device, StreamChecker& checker, Meter& meter,
                 std::string& problem) override {
        done_ = [&checker] { return checker.Complete() || checker.Failed(); };
        const QMetaObject::Connection connection =
            QObject::connect(port_.get(), &QSerialPort::readyRead, [&] {
                const QByteArray data = port_->readAll();
                checker.Take(Bytes(data), static_cast<std::size_t>(data.size()));
                Check();
            });
        meter.Start();
        device.StartFeed(checker.Expected());
        const bool ran = Run([&checker] { return checker.Received(); }, problem);
        meter.Stop();
        QObject::disconnect(connection);
        std::string device_problem;
        const bool fed = device.FinishFeed(device_problem);
        if (checker.Failed()) {
            problem = "received stream: " + checker.Fault();
            return false;
        }
        if (ran && !fed) {
            problem = device_problem;
        }
        return ran && fed;
    }

    bool Send(DeviceProcess& device, const ByteStream& stream, std::uint64_t count, Meter& meter,
              std::string& problem) override {
        std::uint64_t queued = 0;
        bool refused = false;
        const auto top_up = [&] {
            while (queued < count &&
                   static_cast<std::uint64_t>(port_->bytesToWrite()) < kSendWindow) {
                const auto length =
                    static_cast<qint64>(std::min<std::uint64_t>(kAppBlock, count - queued));
                if (port_->write(reinterpret_cast<const char*>(stream.At(queued)), length) !=
                    length) {
                    refused = true;
                    break;
                }
                queued += static_cast<std::uint64_t>(length);
            }
            Check();
        };
        done_ = [&] { return refused || (queued == count && port_->bytesToWrite() == 0); };
        const QMetaObject::Connection connection =
            QObject::connect(port_.get(), &QSerialPort::bytesWritten, top_up);
        meter.Start();
        device.StartDrain(count);
        top_up();
        bool ok = Run([&] { return queued - static_cast<std::uint64_t>(port_->bytesToWrite()); },
                      problem);
        if (ok && refused) {
            problem = "write refused a block";
            ok = false;
        }
        std::string device_problem;
        const bool drained = device.FinishDrain(device_problem);
        meter.Stop();
        QObject::disconnect(connection);
        if (ok && !drained) {
            problem = device_problem;
        }
        return ok && drained;
    }

    std::optional<Clock::time_point> ReceiveFrame(DeviceProcess& device,
                                                  const std::vector<std::uint8_t>& frame,
                                                  std::string& problem) override {
        QByteArray got;
        std::optional<Clock::time_point> arrived;
        done_ = [&] { return arrived.has_value(); };
        const QMetaObject::Connection connection =
            QObject::connect(port_.get(), &QSerialPort::readyRead, [&] {
                got += port_->readAll();
                if (!arrived && static_cast<std::size_t>(got.size()) >= frame.size()) {
                    arrived = Clock::now();
                }
                Check();
            });
        device.StartFrame(frame);
        const bool ran = Run([&] { return got.size(); }, problem);
        QObject::disconnect(connection);
        if (!ran) {
            return std::nullopt;
        }
        if (static_cast<std::size_t>(got.size()) != frame.size() ||
            !std::equal(frame.begin(), frame.end(), Bytes(got))) {
            problem = "the frame arrived altered";
            return std::nullopt;
        }
        return arrived;
    }

  private:
    void Check() {
        if (done_ && done_()) {
            Quit();
        }
    }
    void Quit() {
        if (loop_) {
            loop_->quit();
        }
    }

    // Runs the event loop until done_ holds. Fails on a port error or when
    // `progress` has not changed for kIdleLimit.
    template <typename Progress>
    bool Run(Progress progress, std::string& problem) {
        if (!done_()) {
            QEventLoop loop;
            auto last = progress();
            Clock::time_point last_change = Clock::now();
            bool stalled = false;
            QTimer watchdog;
            QObject::connect(&watchdog, &QTimer::timeout, [&] {
                const auto now_progress = progress();
                if (now_progress != last) {
                    last = now_progress;
                    last_change = Clock::now();
                } else if (Clock::now() - last_change > kIdleLimit) {
                    stalled = true;
                    loop.quit();
                }
            });
            watchdog.start(100);
            loop_ = &loop;
            loop.exec();
            loop_ = nullptr;
            if (stalled) {
                problem = "no progress for " + std::to_string(kIdleLimit.count()) + " s";
                return false;
            }
        }
        if (!port_error_.empty()) {
            problem = "port error: " + port_error_;
            return false;
        }
        return true;
    }

    std::unique_ptr<QSerialPort> port_;
    std::function<bool()> done_;
    QEventLoop* loop_ = nullptr;
    std::string port_error_;
};

}  // namespace

std::unique_ptr<LinkUnderTest> MakeQSerialPortLink() {
    return std::make_unique<QSerialPortLink>();
}

}  // namespace qx17::bench
