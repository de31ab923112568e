#include "stack/transaction/TransactionKey.h"

#include <gtest/gtest.h>

#include <unordered_set>

#include "TransactionTestSupport.h"

namespace zel::sip::stack::test {
namespace {

SipMessage WithMethod(const SipMessage& base, std::string_view method) {
    SipMessage m = base;
    m.SetMethod(method);
    m.Edit<CSeq>(HeaderType::CSeq)->SetMethod(method);
    return m;
}

SipMessage WithBranch(const SipMessage& base, std::string_view branch) {
    SipMessage m = base;
    m.Edit<Via>(HeaderType::Via, 0)->Params().Set("branch", branch);
    return m;
}

TEST(TransactionKey, Rfc3261ServerMatching) {
    const SipMessage invite = Msg(kInvite);
    const TransactionKey key = *ServerTransactionKey(invite);
    EXPECT_TRUE(key.IsRfc3261());
    EXPECT_EQ(key.sentBy, "pc33.atlanta.example.com");

    // A retransmission with a differently cased host and another Request-URI still matches; the
    // ACK of a non-2xx matches the INVITE; CANCEL, another branch, another sent-by do not.
    SipMessage upper = invite;
    upper.Edit<Via>(HeaderType::Via, 0)->SetHost("PC33.Atlanta.Example.COM");
    upper.SetRequestUri(Uri::Parse("sip:other@example.com"));
    EXPECT_EQ(ServerTransactionKey(upper), key);
    EXPECT_EQ(ServerTransactionKey(WithMethod(invite, "ACK")), key);
    EXPECT_NE(ServerTransactionKey(WithMethod(invite, "CANCEL")), key);
    EXPECT_NE(ServerTransactionKey(WithBranch(invite, "z9hG4bKnashds9")), key);
    EXPECT_NE(ServerTransactionKey(WithBranch(invite, "Z9HG4BKnashds8")), key); // case matters
    SipMessage otherPort = invite;
    otherPort.Edit<Via>(HeaderType::Via, 0)->SetPort(5070);
    EXPECT_NE(ServerTransactionKey(otherPort), key);

    // CANCEL finds the INVITE it cancels.
    EXPECT_EQ(CancelledInviteKey(WithMethod(invite, "CANCEL")), key);
    EXPECT_FALSE(CancelledInviteKey(invite));

    std::unordered_set<TransactionKey, TransactionKeyHash> table{key};
    EXPECT_EQ(table.count(*ServerTransactionKey(WithMethod(invite, "ACK"))), 1U);
}

TEST(TransactionKey, Rfc2543FallbackWithoutMagicCookie) {
    const SipMessage invite = WithBranch(Msg(kInvite), "1234abc");
    const TransactionKey key = *ServerTransactionKey(invite);
    EXPECT_FALSE(key.IsRfc3261());
    // The bare cookie names no transaction: two such requests must not share a key.
    const SipMessage bare = WithBranch(Msg(kInvite), "z9hG4bK");
    EXPECT_FALSE(ServerTransactionKey(bare)->IsRfc3261());
    SipMessage bareOther = bare;
    bareOther.Edit<CSeq>(HeaderType::CSeq)->SetSequence(2);
    EXPECT_NE(ServerTransactionKey(bare), ServerTransactionKey(bareOther));
    EXPECT_EQ(key.callId, "a84b4c76e66710");
    EXPECT_EQ(key.fromTag, "1928301774");
    EXPECT_EQ(key.cseq, 314159U);

    // The ACK carries the response's To tag: the INVITE transaction checks that tag itself.
    SipMessage ack = WithMethod(invite, "ACK");
    ack.Edit<NameAddr>(HeaderType::To)->Params().Set("tag", "b1");
    EXPECT_EQ(ServerTransactionKey(ack), key);
    EXPECT_EQ(CancelledInviteKey(WithMethod(invite, "CANCEL")), key);

    struct Change {
        const char* what;
        void (*apply)(SipMessage&);
    };
    for (const Change& c : {
             Change{"Request-URI", [](SipMessage& m) { m.SetRequestUri(Uri::Parse("sip:carol@example.com")); }},
             Change{"From tag", [](SipMessage& m) { m.Edit<NameAddr>(HeaderType::From)->Params().Set("tag", "x"); }},
             Change{"Call-ID", [](SipMessage& m) { m.Set(HeaderType::CallId, "other"); }},
             Change{"CSeq", [](SipMessage& m) { m.Edit<CSeq>(HeaderType::CSeq)->SetSequence(1); }},
             Change{"top Via", [](SipMessage& m) { m.Edit<Via>(HeaderType::Via, 0)->SetHost("elsewhere"); }},
         }) {
        SCOPED_TRACE(c.what);
        SipMessage changed = invite;
        c.apply(changed);
        EXPECT_NE(ServerTransactionKey(changed), key);
    }

    // Non-INVITE requests match with their To tag too.
    const SipMessage bye = WithMethod(invite, "BYE");
    SipMessage byeTagged = bye;
    byeTagged.Edit<NameAddr>(HeaderType::To)->Params().Set("tag", "b1");
    EXPECT_NE(ServerTransactionKey(bye), ServerTransactionKey(byeTagged));
}

TEST(TransactionKey, ClientMatchingAndStrayResponses) {
    const SipMessage invite = Msg(kInvite);
    const TransactionKey key = *ClientTransactionKey(invite);
    SipMessage response = ResponseTo(invite, 180, "t");
    EXPECT_EQ(ClientTransactionKey(response), key);
    // A response to our CANCEL has the same branch but belongs to the CANCEL transaction.
    SipMessage cancelResponse = response;
    cancelResponse.Edit<CSeq>(HeaderType::CSeq)->SetMethod("CANCEL");
    EXPECT_NE(ClientTransactionKey(cancelResponse), key);
    EXPECT_NE(ClientTransactionKey(WithBranch(response, "z9hG4bKx")), key);
    // Without the cookie, or with a broken Via or CSeq, nothing can match.
    EXPECT_FALSE(ClientTransactionKey(WithBranch(response, "nashds8")));
    SipMessage broken = response;
    broken.Set(HeaderType::CSeq, "not a cseq");
    EXPECT_FALSE(ClientTransactionKey(broken));
    SipMessage badVia = Msg(kInvite);
    badVia.Set(HeaderType::Via, "garbage");
    EXPECT_FALSE(ServerTransactionKey(badVia));
    EXPECT_FALSE(ClientTransactionKey(badVia));
    SipMessage noVia = Msg(kInvite);
    noVia.Remove(HeaderType::Via);
    EXPECT_FALSE(ServerTransactionKey(noVia));
    EXPECT_FALSE(ServerTransactionKey(response)); // a response has no server key
}

} // namespace
} // namespace zel::sip::stack::test
