// Updates over HTTPS: the server's certificate and host name are always
// checked, against a test authority given to the transfer layer.
#include "UpdaterTest.h"

#include <cstdlib>

namespace {

// A test certificate authority and certificates it signed, made with the
// openssl tool in a temporary folder once for all cases.
class Certificates {
  public:
    Certificates() {
        const std::string dir = folder_.path().toStdString();
        const std::string script =
            "cd '" + dir +
            "' && for ca in ca other; do openssl req -x509 -newkey ec -pkeyopt "
            "ec_paramgen_curve:prime256v1 -nodes -keyout $ca.key -out $ca.pem -days 2 -subj "
            "/CN=$ca 2>/dev/null; done && for host in IP:127.0.0.1 DNS:other.example; do "
            "name=${host#*:}; "
            "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "
            "$name.key -out $name.csr -subj /CN=$name 2>/dev/null && printf "
            "'subjectAltName=%s' $host > $name.ext && openssl x509 -req -in $name.csr -CA ca.pem "
            "-CAkey ca.key -CAcreateserial -out $name.pem -days 2 -extfile $name.ext "
            "2>/dev/null; done";
        made_ = std::system(script.c_str()) == 0;
    }
    bool made() const { return made_; }
    std::string operator()(const std::string& name) const {
        return folder_.filePath(QString::fromStdString(name)).toStdString();
    }

  private:
    QTemporaryDir folder_;
    bool made_ = false;
};

struct Case {
    const char* name;
    const char* certificate; // the server's, signed by "ca"
    const char* trusted;     // the authority the updater trusts
    const char* failure;     // a part of the failure message, "" for success
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

// The certificates of every case, made once.
Certificates& Made() {
    static Certificates certificates;
    return certificates;
}

class Https : public UpdaterTest, public ::testing::WithParamInterface<Case> {};

TEST_P(Https, ChecksTheCertificateAndTheHostName) {
    const Case& c = GetParam();
    ASSERT_TRUE(Made().made()) << "the openssl tool could not make the test certificates";
    TestServer secure(0, Made()(std::string(c.certificate) + ".pem"),
                      Made()(std::string(c.certificate) + ".key"));
    secure.Put("/news.txt", "secure news");
    secure.Put("info.ini", Manifest("2", "1", {{"game.dat", "2", ""}}));
    secure.Put("game.dat", "GAME");
    modUpdate::SetServerUrlForTests(secure.baseUrl());
    modUpdate::CaFile = Made()(std::string(c.trusted) + ".pem");

    const QString message = RunMain();
    modUpdate::CaFile.clear();

    if (std::string(c.failure).empty()) {
        EXPECT_EQ(message, "");
        EXPECT_EQ(Read("game.dat"), "GAME");
    } else {
        EXPECT_TRUE(message.contains(c.failure)) << message.toStdString();
        EXPECT_TRUE(Tree().isEmpty()); // nothing was written
    }
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, Https,
    ::testing::Values(Case{"Trusted", "127.0.0.1", "ca", ""},
                      Case{"SignedByAnotherAuthority", "127.0.0.1", "other",
                           "Could not download news.txt: the server's certificate is not trusted"},
                      Case{"ForAnotherHost", "other.example", "ca",
                           "Could not download news.txt: the server's certificate is not trusted"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST_F(UpdaterTest, ARedirectNeverLeavesHttpsForHttp) {
    // The plain server redirects to itself; the secure one sends the manifest there.
    const Certificates& made = Made();
    ASSERT_TRUE(made.made());
    TestServer secure(0, made("127.0.0.1.pem"), made("127.0.0.1.key"));
    secure.Put("/news.txt", "");
    const std::string plain = server_.baseUrl().toStdString() + "info.ini";
    secure.On("info.ini", [plain](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(plain);
    });
    server_.Put("info.ini", Manifest("2", "0", {}));
    modUpdate::SetServerUrlForTests(secure.baseUrl());
    modUpdate::CaFile = made("ca.pem");

    const QString message = RunMain();
    modUpdate::CaFile.clear();

    EXPECT_TRUE(message.contains("Could not download info.ini: the server sent the request to an "
                                 "address the updater does not follow"))
        << message.toStdString();
    EXPECT_EQ(server_.CountOf("info.ini"), 0);
}

} // namespace
