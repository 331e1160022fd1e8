/* The publisher's details, in one place: the closing notice, the notice caption, the dialog
   resources and the version record all take them from here. Plain #define lines only, so
   that the resource compiler can read this file as well as the C++ compiler. */
#ifndef KELDAR_BRANDING_H
#define KELDAR_BRANDING_H

#define KELDAR_PRODUCT_TITLE "Keldar"
#define KELDAR_WEB_ADDRESS "https://keldar.example.org"
#define KELDAR_CONTACT_NUMBER "400-000-0000"
/* Follows the product title in every notice caption. */
#define KELDAR_CAPTION_SUFFIX " - 技术支持 400-000-0000"
/* The contact line of the main dialog and the shorter one of the About box. */
#define KELDAR_CONTACT_LINE "技术支持电话：400-000-0000"
#define KELDAR_ABOUT_CONTACT_LINE "400-000-0000"
/* The About box's notice line and the version record's copyright. */
#define KELDAR_NOTICE_LINE "Keldar USB 加密狗检测工具"
#define KELDAR_COPYRIGHT "Copyright (C) 2026 Keldar"

#endif
