#include "json/elements.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Asserts that `statement` throws json::Exception with exactly `text`.
#define EXPECT_JSON_ERROR(statement, text)                    \
  try {                                                       \
    statement;                                                \
    ADD_FAILURE() << "no exception from " #statement;         \
  } catch (json::Exception const& error) {                    \
    EXPECT_EQ(std::string(text), error.what()) << #statement; \
  }

json::Object sample_response() {
  json::Object response;
  response["status"] = json::Number(0);
  response["pan"] = json::Number(12.5);
  response["name"] = json::String("roi");
  return response;
}

TEST(LenientAccess, MissingOrMistypedMembersReadAsDefaultsAndAreStored) {
  json::Object response = sample_response();

  json::Number& num = response["num"];
  EXPECT_EQ(0.0, num);
  json::Number& name_as_number = response["name"];
  EXPECT_EQ(0.0, name_as_number);
  json::Array& list = response["destination_type"];
  EXPECT_TRUE(list.Empty());

  ASSERT_EQ(5u, response.Size());
  EXPECT_TRUE(response["num"].Is<json::Number>());
  EXPECT_TRUE(response["name"].Is<json::Number>());
  EXPECT_EQ(json::UnknownElement::Kind::Array, response["destination_type"].GetKind());
}

// Through a const object, a missing member or a wrong kind throws, with exact texts.
TEST(StrictAccess, MissingMemberAndWrongKindThrowWithExactTexts) {
  json::Object const response = sample_response();
  EXPECT_JSON_ERROR(response["num"], "Object member not found: num");
  EXPECT_JSON_ERROR((void)json::Number(response["name"]), "Bad cast");
  EXPECT_JSON_ERROR((void)static_cast<json::Array const&>(response["pan"]), "Bad cast");
  EXPECT_JSON_ERROR(response["pan"]["x"], "Bad cast");
  EXPECT_JSON_ERROR(response["name"][0], "Bad cast");

  json::Array three;
  three.Resize(3);
  json::Array const& view = three;
  EXPECT_JSON_ERROR(view[3], "Array out of bounds");

  EXPECT_EQ(12.5, json::Number(response["pan"]));
  EXPECT_EQ("roi", json::String(response["name"]).Value());
  EXPECT_EQ(sample_response(), response) << "const access never adds a member";
}

TEST(ObjectMembers, KeepInsertionOrderUniqueNamesAndTheirPlaces) {
  json::Object request;
  request["command"] = "Set_roi";
  request.Insert({"roi_index", json::Number(1)});
  request["roi_set"] = 0.0;
  request["command"] = "Get_roi";  // overwrites in place

  std::string order;
  for (auto const& member : request) order += member.name + ",";
  EXPECT_EQ("command,roi_index,roi_set,", order);

  json::Object const before = request;
  EXPECT_JSON_ERROR(request.Insert({"roi_set", json::Number(5)}),
                    "Object member already exists: roi_set");
  EXPECT_EQ(before, request);

  request.Erase(request.Find("roi_index"));
  EXPECT_EQ(request.end(), request.Find("roi_index"));
  EXPECT_EQ(2u, request.Size());

  // References to members survive later insertions, erasures and moves.
  json::Object object;
  json::UnknownElement& first = object["first"];
  json::Number& last = object["last"];
  for (int i = 0; i < 200; ++i) object["m" + std::to_string(i)] = double(i);
  object.Erase(object.Find("m100"));

  first = "still here";
  last = 42.0;
  json::Object moved = std::move(object);
  EXPECT_EQ("still here", json::String(moved["first"]).Value());
  EXPECT_EQ(42.0, json::Number(moved["last"]));
  EXPECT_EQ(&first, &moved["first"]);
}

TEST(Assignment, SourceMayLiveInsideTheDestination) {
  json::UnknownElement element;
  element["child"]["grandchild"] = 5.0;
  element["child"]["other"] = "x";
  element = element["child"];
  EXPECT_EQ(5.0, json::Number(element["grandchild"]));

  element = std::move(element["grandchild"]);
  EXPECT_EQ(json::UnknownElement(5.0), element);

  json::Object object;
  object["a"]["b"] = true;
  object = static_cast<json::Object&>(object["a"]);
  EXPECT_TRUE(json::Boolean(object["b"]));
}

}  // namespace
