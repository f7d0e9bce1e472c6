// Camera: abstract pan/tilt/zoom camera device, declared beside Device for a device family the
// server may drive one day. Nothing implements, creates or calls it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Camera {
 public:
  Camera() = default;
  virtual ~Camera() = default;
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  std::vector<std::vector<uint8_t>> bspresetlist;

  virtual void panleft1() = 0;
  virtual void panleft5() = 0;
  virtual void panleft10() = 0;
  virtual void panright1() = 0;
  virtual void panright5() = 0;
  virtual void panright10() = 0;
  virtual void tiltup1() = 0;
  virtual void tiltup5() = 0;
  virtual void tiltup10() = 0;
  virtual void tiltdown1() = 0;
  virtual void tiltdown5() = 0;
  virtual void tiltdown10() = 0;
  virtual void zoomin1() = 0;
  virtual void zoomin5() = 0;
  virtual void zoomin10() = 0;
  virtual void zoomout1() = 0;
  virtual void zoomout5() = 0;
  virtual void zoomout10() = 0;
  virtual void focusnear1() = 0;
  virtual void focusnear5() = 0;
  virtual void focusnear10() = 0;
  virtual void focusfar1() = 0;
  virtual void focusfar5() = 0;
  virtual void focusfar10() = 0;
  virtual void setpre(int32_t preset) = 0;
  virtual void gopre(int32_t preset) = 0;
  virtual void home() = 0;
  virtual void power(bool on) = 0;
  virtual void record(bool on) = 0;
  virtual void autofocus(bool on) = 0;
  virtual void backlight(bool on) = 0;
  virtual void superimpose(bool on) = 0;
  virtual void status() = 0;
  virtual void CamInit() = 0;
  virtual bool ParseNetCommand(const std::string& line) = 0;
  virtual void setcamnum(int32_t n) = 0;
};
